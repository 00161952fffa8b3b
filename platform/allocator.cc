#include "platform/allocator.h"

#include <iterator>

namespace kv {

namespace {
// Every id that allocate() may hand out.
constexpr uint64_t ID_COUNT = uint64_t{Allocator::LAST_ID} - Allocator::FIRST_ID + 1;
}  // namespace

uint32_t Allocator::allocate() {
  if (used_.size() >= ID_COUNT) return NONE;
  // Walk the allocated ids from next_ on while they are consecutive; the
  // first gap is the id. The full-table check above bounds the walk.
  uint32_t id = next_;
  auto it = used_.lower_bound(id);
  while (it != used_.end() && *it == id) {
    id = after(id);
    it = (id == FIRST_ID) ? used_.begin() : std::next(it);
  }
  if (spare_) {
    spare_.value() = id;
    used_.insert(it, std::move(spare_));
  } else {
    used_.insert(it, id);
  }
  next_ = after(id);
  return id;
}

bool Allocator::allocate(uint32_t id) {
  if (!isValid(id) || !used_.insert(id).second) return false;
  if (id >= next_) next_ = after(id);
  return true;
}

bool Allocator::free(uint32_t id) {
  auto node = used_.extract(id);
  if (!node) return false;
  spare_ = std::move(node);
  return true;
}

}  // namespace kv
