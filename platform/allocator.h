// kv::Allocator: the object ids of one table.
//
// Ids run from 1 to 0xFFFFFFFE; 0 and 0xFFFFFFFF (NONE) are never handed
// out. allocate() hands ids out in increasing order, skipping every id that
// is allocated, and wraps around to 1 after 0xFFFFFFFE. A freed id is
// therefore not handed out again before the ids above it have been used,
// so until a wrap the lowest id of a table is its oldest row.
//
// Claims (allocate(id), used when rows are loaded) move the automatic ids
// along: the next automatic id is above the highest claimed one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

namespace kv {

class Allocator {
 public:
  static constexpr uint32_t NONE = 0xFFFFFFFF;
  static constexpr uint32_t FIRST_ID = 1;
  static constexpr uint32_t LAST_ID = 0xFFFFFFFE;

  // True for 1 .. 0xFFFFFFFE.
  static bool isValid(uint32_t id) { return id >= FIRST_ID && id <= LAST_ID; }

  bool isAllocated(uint32_t id) const { return used_.count(id) != 0; }
  // The next free id in increasing order; NONE only when every id is taken.
  uint32_t allocate();
  // Claims `id`; false when it is invalid or already allocated.
  bool allocate(uint32_t id);
  // Gives `id` back; false when it was not allocated.
  bool free(uint32_t id);

  size_t count() const { return used_.size(); }

 private:
  static uint32_t after(uint32_t id) { return id >= LAST_ID ? FIRST_ID : id + 1; }

  std::set<uint32_t> used_;
  // The node of the last freed id, reused by the next allocate(): a table
  // that drops a row for each one it adds allocates nothing for its ids.
  std::set<uint32_t>::node_type spare_;
  uint32_t next_ = FIRST_ID;  // where the next allocate() starts looking
};

}  // namespace kv
