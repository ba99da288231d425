#include "target/ecdsa_sign.h"

namespace rawcrypt {

ECDSA_SIG* ECDSA_do_sign(const unsigned char* dgst, int dgst_len, EC_KEY* key) {
  return ::ECDSA_do_sign(dgst, dgst_len, key);
}

}  // namespace rawcrypt
