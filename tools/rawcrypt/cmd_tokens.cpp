// The tokens command: the PKCS#11 tokens and their keys' URIs, with its
// options and its help. Touches the tokens (a login where the URI gives
// the PIN) and standard output.
#include "tools/rawcrypt/command.h"

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/outputs.h"
#include "tools/rawcrypt/token_key.h"
#include "tools/rawcrypt/uri_words.h"

namespace cli {
namespace {

int tokens(const Words& words) {
  const Args args(words, {"--uri"}, {});
  if (args.has("--uri") && !is_pkcs11_uri(args.get("--uri")))
    throw Failure("--uri takes a PKCS#11 URI (pkcs11:...)", kUsage);
  const SecretBytes uri = args.has("--uri") ? args.take("--uri") : SecretBytes();
  Output out("-");
  out.write(token_listing(args.has("--uri") ? &uri : nullptr));
  out.commit();
  return 0;
}

}  // namespace

const Command kTokens = {
    "tokens", "the PKCS#11 tokens, their P-256 and AES-256 keys and their URIs",
    "rawcrypt tokens [--uri URI]\n"
    "  --uri URI           the tokens or the module to list, and the PIN\n"
    "  Every token the PKCS#11 modules offer (those URI names), then each P-256\n"
    "  and AES-256 key in it with the URI to give as --key. Private keys are\n"
    "  listed when URI names one token and gives its PIN (pin-source=file:PATH):\n"
    "  no PIN goes to any other token.\n",
    tokens};

}  // namespace cli
