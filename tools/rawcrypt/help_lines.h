// Lines that several commands' help shares, as string literals to join
// (command.h says how a help is laid out). Touches nothing.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_HELP_LINES_H
#define RAWCRYPT_TOOLS_RAWCRYPT_HELP_LINES_H

#define RAWCRYPT_IN_OUT                                                 \
  "  --in FILE           the input (standard input without it)\n"       \
  "  --out FILE          the output (standard output without it)\n"
#define RAWCRYPT_PRIVATE_KEY                                                             \
  "  --key FILE|URI      the private key: a key file or a PKCS#11 URI (P-256)\n"
#define RAWCRYPT_KEY_SET_OUT                                                             \
  "  --out PREFIX        the files PREFIX.x and PREFIX.y (else hex lines x, y)\n"
#define RAWCRYPT_KEY_FORMAT                                                            \
  "  --format hex|base64|raw  hex text (the default); base64 and raw need --out\n"
#define RAWCRYPT_PUBLIC_KEY                                                               \
  "  --pub PREFIX        the public key as keygen writes it: PREFIX.x, PREFIX.y\n" \
  "  --x FILE, --y FILE  the public key's X and Y in files named apart\n"
#define RAWCRYPT_SIG_AUTO                                                           \
  "  With auto, 128 hex digits are read as hex and 88 characters as Base64 (line\n" \
  "  ends and spaces aside), anything else as the 64 raw bytes.\n"
#define RAWCRYPT_UNPAD                                                                  \
  "  --pad               remove PKCS#7 padding; a last block without it is an error\n"
#define RAWCRYPT_KEY_HEX_NOTE                                                    \
  "  A key given by --key-hex is visible to other users (the process list)\n"   \
  "  until the tool has started and overwritten it: a key file, or '-', is\n"     \
  "  better.\n"
#define RAWCRYPT_AES_KEYS                                                                \
  "  --key FILE|URI      the AES-256 key: a 32-byte key file, or a PKCS#11 URI\n"    \
  "  --key-hex HEX       the key as 64 hex digits (see below)\n"                          \
  "  --iv FILE           the 16-byte initial vector in a file (raw, hex or Base64)\n"                \
  "  --iv-hex HEX        the initial vector as 32 hex digits\n" RAWCRYPT_IN_OUT
#define RAWCRYPT_TOKEN_CIPHER_NOTE                                                 \
  "  A PKCS#11 URI names an AES-256 key (CKM_AES_CBC in the token; the iv and\n"   \
  "  --pad stay on the host), with the same output as a key file.\n"

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_HELP_LINES_H
