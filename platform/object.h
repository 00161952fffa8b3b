// Object: one row of an object table (AMap) or the single object of a
// holder (AHolder).
//
// A row carries a u32 object id that its table assigns when the row is
// added; until then the id is NO_ID. Rows are owned by their table: other
// code may keep plain pointers to a row for as long as it stays in the
// table (a changed row keeps its address, see AMap), and looks rows up
// again by id where a request names one.
//
// The message form of a row is what writeTo adds and readFrom reads; the
// object id travels beside it (kv::OBJECT_ID_FIELD) and is handled by the
// table, never by the row.
#pragma once

#include <cstdint>

#include "platform/message.h"

class Object {
 public:
  static constexpr uint32_t NO_ID = 0xFFFFFFFF;

  Object() = default;
  virtual ~Object() = default;

  // What one such object is called in texts about it.
  virtual const char* kindName() const { return "item"; }
  // Adds the object's fields to `out`.
  virtual void writeTo(kv::message& out) const = 0;
  // Reads the object's fields from `in`; a field that `in` lacks keeps its
  // current value.
  virtual void readFrom(const kv::message& in) = 0;

  uint32_t id = NO_ID;

 protected:
  // Copying is for the row classes' own copy operations (AMap::copyRow);
  // an Object is never copied through a base reference by accident.
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
};
