// The base64 command: encode in any alphabet (streamed) or decode as the
// device does (the whole text at once), with its options and its help.
// Touches the files its options name.
#include "tools/rawcrypt/command.h"

#include <algorithm>
#include <vector>

#include "host/keys.h"
#include "tools/rawcrypt/base64_text.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/help_lines.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/outputs.h"

namespace cli {
namespace {

// Base64 decoding judges the whole text at once, so it holds it: at most
// this many characters.
constexpr size_t kBase64TextCap = size_t{1} << 30;

int base64_command(const Words& words) {
  const std::string what = words.empty() ? "" : words[0];
  if (what != "encode" && what != "decode") throw Failure("base64 needs encode or decode (see --help)", kUsage);
  const bool encode = what == "encode";
  Args args(Words(words.begin() + 1, words.end()),
            encode ? std::set<std::string>{"--in", "--out", "--alphabet"} : std::set<std::string>{"--in", "--out"},
            {});
  if (encode) {
    const std::string alphabet = args.get("--alphabet", host::kStandardAlphabet);
    if (alphabet.size() != 64)
      throw Failure("--alphabet must have 64 characters, found " + std::to_string(alphabet.size()), kUsage);
    for (char c : alphabet)
      if (std::count(alphabet.begin(), alphabet.end(), c) != 1 || c == '=')
        throw Failure("--alphabet repeats or pads with '" + printable(std::string(1, c)) + "'", kUsage);
    Input in(args.get("--in", "-"));
    Output out(args.get("--out", "-"));
    std::vector<unsigned char> chunk(kChunk);
    for (size_t n; (n = in.read(chunk.data(), chunk.size())) > 0;)  // whole groups of three but at the end
      out.write(base64(chunk.data(), n, alphabet.c_str()));
    out.write("\n");
    out.commit();
  } else {
    Held in(args.get("--in", "-"), kBase64TextCap, "the Base64 text");
    std::string text(reinterpret_cast<const char*>(in.data()), in.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();  // a text file's last line
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find('\0') != std::string::npos) throw Failure("the Base64 text holds a NUL byte");
    const host::Bytes bytes = unbase64(text, "the Base64 text");
    Output out(args.get("--out", "-"));
    out.write(bytes.data(), bytes.size());
    out.commit();
  }
  return 0;
}

}  // namespace

const Command kBase64 = {
    "base64", "encode (any alphabet) or decode (strict, as the device)",
    "rawcrypt base64 encode [--alphabet 64CHARS] [--in FILE] [--out FILE]   (streams)\n"
    "rawcrypt base64 decode [--in FILE] [--out FILE]\n"
    "  --alphabet 64CHARS  encode with these 64 characters, for the values 0 to 63\n" RAWCRYPT_IN_OUT
    "  The default alphabet is the standard one, A-Z a-z 0-9 + /. Any alphabet pads\n"
    "  with '=', so it may not hold '=', nor a character twice. The text ends with\n"
    "  a line end. Decoding takes the standard alphabet alone and judges the whole\n"
    "  text, as the device does: at most 1 GiB, its final line end included; that\n"
    "  line end (\\n or \\r\\n) is ignored.\n",
    base64_command};

}  // namespace cli
