// Readers for the public reference vectors, which live outside the project in
// ../shared/vectors beside the checkout: NIST CAVP response files, Wycheproof
// JSON and RFC 4648's Base64 lines.
#ifndef RAWCRYPT_TESTS_VECTORS_H
#define RAWCRYPT_TESTS_VECTORS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vectors {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const std::string& hex);

// path: a file of the shared vectors by its path there ("nist-cavp/aes/...").
// Throws, naming the folder, when the shared vectors are not there.
std::string path(const std::string& name);

// One record of a CAVP response file: its fields and the [headers] in force.
struct Record {
  std::vector<std::string> headers;
  std::map<std::string, std::string> fields;
  bool under(const std::string& header) const;
  bool has(const std::string& key) const { return fields.count(key) != 0; }
  const std::string& text(const std::string& key) const { return fields.at(key); }
  Bytes hex(const std::string& key) const { return from_hex(fields.at(key)); }
};

// read_rsp: every record (a run of "key = value" lines) of a response file.
std::vector<Record> read_rsp(const std::string& name);

// A parsed JSON value, enough of JSON for Wycheproof files.
struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  std::string scalar;  // string contents, number text, "true"/"false"
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;
  const Json& operator[](const std::string& key) const;
  const std::string& str() const { return scalar; }
  Bytes hex() const { return from_hex(scalar); }
  int number() const { return std::stoi(scalar); }
};

Json read_json(const std::string& name);

}  // namespace vectors

#endif  // RAWCRYPT_TESTS_VECTORS_H
