// An RFC 3161 time-stamping server on 127.0.0.1 for the signing check, answered by `openssl ts`:
//   node timestamp-responder.mjs <folder>
// makes its certificate (<folder>/tsa.pem) and key there, prints its port and serves until ended.
import { execFileSync } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import http from "node:http";

const folder = process.argv[2];
const openssl = (...args) => execFileSync("openssl", args, { cwd: folder, stdio: "ignore" });
openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=OrvinMCP test time stamps",
  "-addext", "extendedKeyUsage=critical,timeStamping", "-keyout", "tsa.key", "-out", "tsa.pem");
writeFileSync(`${folder}/tsa.cnf`, "[ tsa ]\ndefault_tsa = responder\n[ responder ]\nserial = tsa-serial\n" +
  "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\ness_cert_id_alg = sha256\n");
writeFileSync(`${folder}/tsa-serial`, "01\n");

// One query at a time: openssl runs synchronously, so the files are never shared.
http.createServer((request, response) => {
  const body = [];
  request.on("data", (chunk) => body.push(chunk)).on("end", () => {
    if (request.headers["content-type"] !== "application/timestamp-query") return response.writeHead(415).end();
    writeFileSync(`${folder}/query.tsq`, Buffer.concat(body));
    try {
      openssl("ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query.tsq", "-signer", "tsa.pem", "-inkey", "tsa.key",
        "-out", "reply.tsr");
      response.writeHead(200, { "Content-Type": "application/timestamp-reply" }).end(readFileSync(`${folder}/reply.tsr`));
    } catch {
      response.writeHead(500).end();
    }
  });
}).listen(0, "127.0.0.1", function () {
  console.log(this.address().port);
});
