#include "CrmTools.h"

#include <vector>

#include "State.h"
#include "TextCodec.h"

namespace {

struct TKlient {
  int Id;
  std::string Nazwa, Nip, Miasto;
};

struct TFaktura {
  std::string Numer;
  int KlientId;
  std::string Data;
  long long KwotaGrosze;
  bool Zaplacona;
};

// Guarded by the state lock: tools may run on several connections at once.
std::vector<TKlient> g_klienci = {
    {1, "Łódzka Hurtownia Żółw sp. z o.o.", "7251801126", "Łódź"},
    {2, "Przedsiębiorstwo Handlowe Gęś i Syn", "5262541311", "Gdańsk"},
    {3, "Biuro Rachunkowe Źródło s.c.", "6762481190", "Kraków"},
    {4, "Pszczyńska Spółdzielnia Mleczarska", "6380005617", "Pszczyna"},
};

std::vector<TFaktura> g_faktury = {
    {"FV/2024/03/015", 1, "2024-03-12", 1234567, true},
    {"FV/2024/04/002", 1, "2024-04-02", 98000, false},
    {"FV/2024/04/031", 2, "2024-04-19", 4500099, true},
    {"FV/2024/05/007", 4, "2024-05-06", 15750, false},
};

int g_nextId = 5;

std::string FormatPln(long long grosze) {
  std::string whole = std::to_string(grosze / 100);
  std::string grouped;
  int count = 0;
  for (size_t i = whole.size(); i > 0; --i) {
    grouped.insert(grouped.begin(), whole[i - 1]);
    if (++count % 3 == 0 && i > 1) grouped.insert(grouped.begin(), ' ');
  }
  int rest = static_cast<int>(grosze % 100);
  return grouped + "," + (rest < 10 ? "0" : "") + std::to_string(rest) + " PLN";
}

std::string DescribeKlient(const TKlient& k) {
  return "[" + std::to_string(k.Id) + "] " + k.Nazwa + ", NIP " + k.Nip + ", " + k.Miasto;
}

std::string DigitsOnly(const std::string& text) {
  std::string d;
  for (char c : text) {
    if (c >= '0' && c <= '9') d += c;
  }
  return d;
}

std::string StringArgument(const TJsonValue& arguments, const char* name) {
  const TJsonValue* v = arguments.Find(name);
  if (v == nullptr) return std::string();
  return v->Type == JsonType::String ? v->Text : v->Raw;
}

std::string Szukaj(const TJsonValue& arguments, bool& isError) {
  std::string fraza = TrimText(StringArgument(arguments, "fraza"));
  if (fraza.empty()) {
    isError = true;
    return "Podaj frazę do wyszukania (argument \"fraza\").";
  }
  std::string needle = LowerUtf8(fraza);
  std::string out;
  int found = 0;
  for (const TKlient& k : g_klienci) {
    if (LowerUtf8(k.Nazwa).find(needle) != std::string::npos) {
      out += DescribeKlient(k) + "\n";
      ++found;
    }
  }
  if (found == 0) return "Nie znaleziono klientów dla frazy \"" + fraza + "\".";
  return "Znaleziono klientów: " + std::to_string(found) + "\n" + out;
}

std::string FakturyLista(const TJsonValue& arguments, bool& isError) {
  std::string nip = DigitsOnly(StringArgument(arguments, "nip"));
  const TKlient* klient = nullptr;
  for (const TKlient& k : g_klienci) {
    if (!nip.empty() && k.Nip == nip) klient = &k;
  }
  if (klient == nullptr) {
    isError = true;
    return "Nie znaleziono klienta o numerze NIP \"" + StringArgument(arguments, "nip") + "\".";
  }
  std::string out = "Faktury klienta " + klient->Nazwa + ":\n";
  long long suma = 0;
  int count = 0;
  for (const TFaktura& f : g_faktury) {
    if (f.KlientId != klient->Id) continue;
    out += f.Numer + " z " + f.Data + ": " + FormatPln(f.KwotaGrosze) + (f.Zaplacona ? " (zapłacona)" : " (do zapłaty)") +
           "\n";
    suma += f.KwotaGrosze;
    ++count;
  }
  if (count == 0) return out + "brak faktur.";
  return out + "Razem: " + FormatPln(suma);
}

std::string KlientDodaj(const TJsonValue& arguments, bool& isError) {
  std::string nazwa = TrimText(StringArgument(arguments, "nazwa"));
  std::string nip = DigitsOnly(StringArgument(arguments, "nip"));
  std::string miasto = TrimText(StringArgument(arguments, "miasto"));
  if (nazwa.empty() || nip.size() != 10) {
    isError = true;
    return "Podaj nazwę klienta i dziesięciocyfrowy NIP.";
  }
  for (const TKlient& k : g_klienci) {
    if (k.Nip == nip) {
      isError = true;
      return "Klient o numerze NIP " + nip + " już istnieje: " + DescribeKlient(k);
    }
  }
  g_klienci.push_back(TKlient{g_nextId++, nazwa, nip, miasto});
  return "Dodano klienta " + DescribeKlient(g_klienci.back());
}

}  // namespace

std::string CrmToolsJson() {
  return "{\"name\":\"klienci_szukaj\",\"description\":\"Wyszukuje klientów po fragmencie nazwy (bez rozróżniania "
         "wielkości liter).\",\"inputSchema\":{\"type\":\"object\",\"properties\":{\"fraza\":{\"type\":\"string\","
         "\"description\":\"Fragment nazwy klienta, np. „żółw”.\"}},\"required\":[\"fraza\"]}},"
         "{\"name\":\"faktury_lista\",\"description\":\"Zwraca listę faktur klienta o podanym numerze NIP wraz z "
         "kwotami w złotych.\",\"inputSchema\":{\"type\":\"object\",\"properties\":{\"nip\":{\"type\":\"string\","
         "\"description\":\"NIP klienta (10 cyfr, myślniki dozwolone).\"}},\"required\":[\"nip\"]}},"
         "{\"name\":\"klient_dodaj\",\"description\":\"Dodaje nowego klienta do bazy CRM.\",\"inputSchema\":{\"type\":"
         "\"object\",\"properties\":{\"nazwa\":{\"type\":\"string\",\"description\":\"Pełna nazwa firmy.\"},\"nip\":{"
         "\"type\":\"string\",\"description\":\"NIP (10 cyfr).\"},\"miasto\":{\"type\":\"string\",\"description\":"
         "\"Miejscowość siedziby.\"}},\"required\":[\"nazwa\",\"nip\"]}}";
}

bool IsCrmTool(const std::string& name) {
  return name == "klienci_szukaj" || name == "faktury_lista" || name == "klient_dodaj";
}

std::string CallCrmTool(const std::string& name, const TJsonValue& arguments, bool& isError) {
  isError = false;
  StateLock lock;
  if (name == "klienci_szukaj") return Szukaj(arguments, isError);
  if (name == "faktury_lista") return FakturyLista(arguments, isError);
  if (name == "klient_dodaj") return KlientDodaj(arguments, isError);
  isError = true;
  return "Nieznane narzędzie: " + name;
}
