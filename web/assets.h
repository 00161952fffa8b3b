// The page's files (web/page/), built into the program so that the router
// carries one file. The list is generated at build time (embed_assets.cmake).
#pragma once

#include <cstddef>
#include <string>

namespace mqttweb {

struct Asset {
  const char* path;         // "/app.js"; the page itself is "/"
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

// The asset served at `path`, or null.
const Asset* findAsset(const std::string& path);

}  // namespace mqttweb
