// The convert command: raw keys and signatures to and from PEM and DER,
// with its options and its help. Touches the files its options name.
#include "tools/rawcrypt/command.h"

#include <stdexcept>

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/formats.h"
#include "tools/rawcrypt/help_lines.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/key_files.h"
#include "tools/rawcrypt/key_sets.h"
#include "tools/rawcrypt/pem.h"

namespace cli {
namespace {

int convert(const Words& words) {
  const std::string what = words.empty() ? "" : words[0];
  Args args(Words(words.begin() + (words.empty() ? 0 : 1), words.end()),
            {"--key", "--in", "--out", "--x", "--y", "--pub", "--sig", "--format"}, {"--sec1"},
            {{"--pub", "--x"}, {"--pub", "--y"}});
  if (what == "key-to-pem") {
    const SecretBytes pem = private_pem(key_pair_of(read_key(args.need("--key"), 32, "private key")), args.has("--sec1"));
    Output out(args.get("--out", "-"), Output::kSecret);
    out.write(pem.data(), pem.size());
    out.commit();
  } else if (what == "pem-to-key") {
    SecretBytes pem;
    {
      Held in(args.need("--in"), 1 << 16, "the PEM key");
      pem = SecretBytes(in.data(), in.data() + in.size());
    }
    const RawKeyPair key = private_from_pem(pem);
    Output out(args.get("--out", "-"), Output::kSecret);
    write_secret(out, key.d, format_of(args, "hex"));
    out.commit();
  } else if (what == "pub-to-pem") {
    Bytes x, y;
    public_point(args, &x, &y);
    Output out(args.get("--out", "-"));
    out.write(public_pem(x, y));
    out.commit();
  } else if (what == "pem-to-pub") {
    Held in(args.need("--in"), 1 << 16, "the PEM key");
    write_key_pair(args, public_from_pem(Bytes(in.data(), in.data() + in.size())), false, {});
  } else if (what == "sig-to-der") {
    const Bytes der = host::signature_to_der(read_signature(args.need("--sig"), format_of(args, "auto", true)));
    Output out(args.get("--out", "-"));
    out.write(der.data(), der.size());
    out.commit();
  } else if (what == "der-to-sig") {
    Held in(args.need("--in"), 4096, "the DER signature");
    Bytes raw;
    try {
      raw = host::signature_from_der(Bytes(in.data(), in.data() + in.size()));
    } catch (const std::invalid_argument& e) {
      throw Failure(printable(args.get("--in")) + ": " + e.what());
    }
    Output out(args.get("--out", "-"));
    write_value(out, raw, format_of(args, "hex"));
    out.commit();
  } else {
    throw Failure("convert needs key-to-pem, pem-to-key, pub-to-pem, pem-to-pub, sig-to-der or der-to-sig", kUsage);
  }
  return 0;
}

}  // namespace

const Command kConvert = {
    "convert", "raw keys and signatures to and from PEM and DER",
    "rawcrypt convert key-to-pem --key FILE [--sec1] [--out FILE]   (PKCS#8, or SEC1)\n"
    "rawcrypt convert pem-to-key --in FILE [--out FILE] [--format hex|base64|raw]\n"
    "rawcrypt convert pub-to-pem (--pub PREFIX | --x FILE --y FILE) [--out FILE]\n"
    "rawcrypt convert pem-to-pub --in FILE [--out PREFIX] [--format hex|base64|raw]\n"
    "rawcrypt convert sig-to-der --sig FILE [--format auto|hex|base64|raw] [--out FILE]\n"
    "rawcrypt convert der-to-sig --in FILE [--out FILE] [--format hex|base64|raw]\n"
    "  --key FILE          the private key file to write as PEM\n"
    "  --sec1              PEM of SEC1 (BEGIN EC PRIVATE KEY) instead of PKCS#8\n"
    "  --in FILE           the PEM key or the DER signature to convert\n" RAWCRYPT_PUBLIC_KEY
    "  --sig FILE          the signature to write as DER\n"
    "  --out FILE          the output (standard output without it)\n" RAWCRYPT_KEY_SET_OUT
    "  --format hex|base64|raw  the key or signature written: hex (the default)\n"
    "  --format auto|hex|base64|raw  how sig-to-der reads --sig (auto by default)\n"
    RAWCRYPT_SIG_AUTO
    "  PEM and DER are openssl's forms: openssl pkey reads what key-to-pem and\n"
    "  pub-to-pem write, openssl dgst -verify takes what sig-to-der writes.\n",
    convert};

}  // namespace cli
