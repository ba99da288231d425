#include "tests/support/vectors.h"

#include "host/bytes.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>

namespace vectors {

Bytes from_hex(const std::string& hex) {
  const host::SecretBytes bytes = host::from_hex(hex);
  return Bytes(bytes.begin(), bytes.end());
}

std::string path(const std::string& name) {
  struct stat dir;
  if (stat(RAWCRYPT_VECTORS_DIR, &dir) != 0 || !S_ISDIR(dir.st_mode))
    throw std::runtime_error("the shared reference vectors are missing: " RAWCRYPT_VECTORS_DIR
                             " (../shared/vectors beside the checkout) does not exist");
  return std::string(RAWCRYPT_VECTORS_DIR "/") + name;
}

static std::string slurp(const std::string& name) {
  const std::string file = path(name);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

static std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

bool Record::under(const std::string& header) const {
  for (const auto& h : headers)
    if (h == header) return true;
  return false;
}

std::vector<Record> read_rsp(const std::string& name) {
  std::istringstream in(slurp(name));
  std::vector<Record> records;
  std::vector<std::string> headers;
  bool last_was_header = false;
  Record current;
  auto flush = [&] {
    if (!current.fields.empty()) records.push_back(current);
    current = Record{headers, {}};
  };
  for (std::string line; std::getline(in, line);) {
    line = trim(line);
    if (line.empty() || line[0] == '#') {
      flush();
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      flush();
      if (!last_was_header) headers.clear();
      headers.push_back(line.substr(1, line.size() - 2));
      current.headers = headers;
      last_was_header = true;
      continue;
    }
    last_was_header = false;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    current.fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  flush();
  return records;
}

const Json& Json::operator[](const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return m.second;
  throw std::runtime_error("no JSON member " + key);
}

namespace {
struct JsonParser {
  const std::string& s;
  size_t i = 0;
  void space() {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  }
  std::string string_body() {
    std::string out;
    for (++i; s[i] != '"'; ++i) {
      if (s[i] != '\\') {
        out += s[i];
        continue;
      }
      char e = s[++i];
      if (e == 'u') {  // Wycheproof comments only; keep the code point's low byte
        out += static_cast<char>(std::stoi(s.substr(i + 1, 4), nullptr, 16) & 0xff);
        i += 4;
      } else {
        out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
      }
    }
    ++i;
    return out;
  }
  Json value() {
    space();
    Json v;
    char c = s.at(i);
    if (c == '{') {
      v.kind = Json::kObject;
      for (++i, space(); s[i] != '}'; space()) {
        space();
        std::string key = string_body();
        space();
        ++i;  // ':'
        v.members.emplace_back(key, value());
        space();
        if (s[i] == ',') ++i;
      }
      ++i;
    } else if (c == '[') {
      v.kind = Json::kArray;
      for (++i, space(); s[i] != ']'; space()) {
        v.items.push_back(value());
        space();
        if (s[i] == ',') ++i;
      }
      ++i;
    } else if (c == '"') {
      v.kind = Json::kString;
      v.scalar = string_body();
    } else {
      size_t e = s.find_first_of(",]} \n\r\t", i);
      v.scalar = s.substr(i, e - i);
      v.kind = v.scalar == "null" ? Json::kNull
               : (v.scalar == "true" || v.scalar == "false") ? Json::kBool
                                                             : Json::kNumber;
      i = e;
    }
    return v;
  }
};
}  // namespace

Json read_json(const std::string& name) {
  std::string text = slurp(name);
  JsonParser p{text};
  return p.value();
}

}  // namespace vectors
