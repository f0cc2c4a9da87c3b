#include "index/structures/shards/hashmap/hashmap.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace calderwick {

SipKey random_sip_key() {
  uint64_t words[2];
  auto* out = reinterpret_cast<unsigned char*>(words);
  size_t got = 0;
  while (got < sizeof words) {
    // Blocks only until the kernel's pool is first initialised, early in boot.
    const ssize_t n = getrandom(out + got, sizeof words - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      internal_error(std::string("failed to draw a hash key from the operating system: ") + std::strerror(errno));
    }
    got += static_cast<size_t>(n);
  }
  return SipKey{words[0], words[1]};
}

}  // namespace calderwick
