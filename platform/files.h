// Small, bounded file helpers for the files of the platform and its services.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/status.h"

namespace kv {

// Reads the whole of `path`; refuses (Status::tooLarge) a file larger than
// `maxBytes`, and reports a missing file as Status::notFound.
Status readFile(const std::string& path, size_t maxBytes, std::string& out);

// Replaces `path` with `bytes` atomically: writes "<path>.tmp" with `mode`,
// fsyncs it, renames it over `path` and fsyncs the directory. Creates the
// missing parent directories (0755). Readers see the old or the new file,
// never a part of one.
Status writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode);

// Renames `from` to `to` (same directory) and fsyncs the directory; an
// existing `to` is replaced.
kv::Status renameFile(const std::string& from, const std::string& to);

// Removes `path`; a file that is not there is not an error.
Status removeFile(const std::string& path);

}  // namespace kv
