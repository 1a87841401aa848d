// The bridge's own texts and messages, as the client and the log must receive them.

export const CRM_DIR = 'C:\\crm\\';

export const CACHE_FILE = 'OrvinMCP_C__crm_narzedzia.json';

export const NO_WINDOW = 'Nie znaleziono uruchomionego Orvina (szukam w katalogu C:\\crm\\).';

// `where`: the folders the look-alikes run from, in the order the bridge met them.
export function lookAlikes(count, where = [], folder = CRM_DIR) {
  const running = where.length > 0 ? ` (działają z: ${where.join(', ')})` : '';
  return (
    `Znaleziono ${count} okien wyglądających jak Orvin, ale żadne nie należy do programu z katalogu ${folder}${running}. ` +
    'Uruchom Orvin z tego katalogu albo wskaż właściwy katalog przełącznikiem -dir.'
  );
}

export function startLine(folder, keyDisplay = '(bez klucza)') {
  return `Start. Szukam Orvina w katalogu: ${folder}, klucz MCP: ${keyDisplay}`;
}

export const CLOSING_LINE = 'Klient zamknął strumień - kończę pracę.';

export const TOOL_DESCRIPTION =
  'Łączy z Orvin CRM. Wywołaj to narzędzie, gdy potrzebujesz danych z Orvina, a na liście narzędzi Orvina jest tylko ono. ' +
  'Jeśli Orvin działa, może pokazać użytkownikowi pytanie o zgodę na połączenie - poproś go o zatwierdzenie. ' +
  'Jeśli Orvin nie działa, poproś o jego uruchomienie i wywołaj narzędzie ponownie.';

export function notConnectedText(reason) {
  return `Brak połączenia z Orvin CRM: ${reason} Uruchom Orvin CRM albo zatwierdź w nim pytanie o zgodę, a potem ponów żądanie.`;
}

// The content of a JSON string, escaped the way the bridge escapes its texts.
export function jsonText(text) {
  return JSON.stringify(text).slice(1, -1);
}

export function initializeReply(id, version) {
  return (
    `{"jsonrpc":"2.0","id":${id},"result":{"protocolVersion":"${version}",` +
    '"capabilities":{"tools":{"listChanged":true}},' +
    '"serverInfo":{"name":"orvin-crm","title":"Orvin CRM","version":"1.0"}}}'
  );
}

export function placeholderList(id) {
  return (
    `{"jsonrpc":"2.0","id":${id},"result":{"tools":[{"name":"orvin_connect",` +
    `"description":"${jsonText(TOOL_DESCRIPTION)}",` +
    '"inputSchema":{"type":"object","properties":{}}}]}}'
  );
}

export function notConnectedResult(id, reason) {
  return (
    `{"jsonrpc":"2.0","id":${id},"result":{"content":[{"type":"text","text":"${jsonText(notConnectedText(reason))}"}],` +
    '"isError":true}}'
  );
}

export function errorReply(id, message) {
  return `{"jsonrpc":"2.0","id":${id},"error":{"code":-32000,"message":"${jsonText(message)}"}}`;
}

// The reason of a local answer while a window that took the handshake request has not answered yet.
export const NO_ANSWER_YET =
  'Orvin jeszcze nie odpowiedział na prośbę o połączenie - być może pyta użytkownika o zgodę. ' +
  'Odpowiedz na pytanie w Orvinie; połączę się, gdy tylko na to pozwoli.';

// Wine names no owner of a TCP connection: the bridge says so once, at its first forwarded request.
export function noOwnersNote(port) {
  return `System nie podaje, które programy obsługują połączenia TCP, więc nie sprawdzam, czy port ${port} należy do ` +
    'Orvina - wysyłam żądania bez tego sprawdzenia.';
}

// The bridge's own answer to a line that is no JSON, linked or not.
export const PARSE_ERROR = '{"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Błąd składni: wiersz nie jest ' +
  'poprawnym tekstem JSON, więc nie da się go odczytać ani przekazać do Orvina."}}';
