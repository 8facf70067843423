// korbr --version.
#include "cli/commands/version_info.h"

#include <openssl/crypto.h>
#include <xxhash.h>
#include <zstd.h>

#include <cstring>

#include "cli/format/stream_format.h"
#include "korbr/korbr.h"

#ifndef KORBR_VERSION
#error "KORBR_VERSION comes from the CMake project version"
#endif

namespace kor {
namespace cli {
namespace {

std::string XxhashVersion() {
  const unsigned n = XXH_versionNumber();
  return std::to_string(n / 10000) + "." + std::to_string(n / 100 % 100) +
         "." + std::to_string(n % 100);
}

// The library loaded at run time, as it identifies itself.
std::string LoadedLibrary() {
  ApiInfo api;
  std::memset(&api, 0, sizeof api);
  kor_queryapi(&api);
  char text[64];
  std::snprintf(text, sizeof text, "interface %08x",
                static_cast<unsigned>(api.version));
  return text;
}

}  // namespace

std::string VersionText() {
  std::string formats_read;
  for (uint32_t v = kOldestStreamFormat; v <= kStreamFormatVersion; ++v) {
    formats_read += (formats_read.empty() ? "" : ", ") + std::to_string(v);
  }
  std::string text = std::string("korbr ") + KORBR_VERSION + "\n";
  text += "stream format: writes " + std::to_string(kStreamFormatVersion) +
          ", reads " + formats_read + "\n";
  text += "libkorbr: " + LoadedLibrary() + "\n";
  text += std::string("OpenSSL: ") + OpenSSL_version(OPENSSL_VERSION) + "\n";
  text += std::string("zstd: ") + ZSTD_versionString() + "\n";
  text += "xxhash: " + XxhashVersion() + "\n";
#ifdef KORBR_CURL_VERSION
  // Object storage lives in libkorbr, built against these.
  text += std::string("libcurl: ") + KORBR_CURL_VERSION +
          " (object storage, in libkorbr)\n";
#else
  text += "libcurl: none (built without object storage)\n";
#endif
  return text;
}

}  // namespace cli
}  // namespace kor
