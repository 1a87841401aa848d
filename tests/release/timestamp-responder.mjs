// An RFC 3161 time-stamping server on 127.0.0.1 for the signing check, answered by `openssl ts`:
//   node timestamp-responder.mjs <folder>
// makes its certificate (<folder>/tsa.pem) and key there, then prints its port and serves
// until it is ended.
import { execFile, execFileSync } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import http from "node:http";
import { join } from "node:path";

const folder = process.argv[2];
const file = (name) => join(folder, name);
execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
  "-subj", "/CN=OrvinMCP test time stamps", "-addext", "extendedKeyUsage=critical,timeStamping",
  "-keyout", file("tsa.key"), "-out", file("tsa.pem")], { stdio: "ignore" });
writeFileSync(file("tsa-serial"), "01\n");
writeFileSync(file("tsa.cnf"), `[ tsa ]
default_tsa = responder
[ responder ]
serial = ${file("tsa-serial")}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
`);

let served = 0;
const server = http.createServer((request, response) => {
  const body = [];
  request.on("data", (chunk) => body.push(chunk));
  request.on("end", () => {
    if (request.method !== "POST" || request.headers["content-type"] !== "application/timestamp-query") {
      response.writeHead(415).end();
      return;
    }
    const query = file(`${++served}.tsq`), reply = file(`${served}.tsr`);
    writeFileSync(query, Buffer.concat(body));
    execFile("openssl", ["ts", "-reply", "-config", file("tsa.cnf"), "-queryfile", query,
      "-signer", file("tsa.pem"), "-inkey", file("tsa.key"), "-out", reply], (error, stdout, stderr) => {
      if (error) {
        process.stderr.write(stderr);
        response.writeHead(500).end();
      } else {
        response.writeHead(200, { "Content-Type": "application/timestamp-reply" }).end(readFileSync(reply));
      }
    });
  });
});
server.listen(0, "127.0.0.1", () => console.log(server.address().port));
