// TypedTable<Row>: the layer between the platform's AMap and each of the
// service's tables. It creates and copies rows of one row class, gives the
// checks typed signatures, and lets the rest of the service find and walk
// rows as that class instead of as Object.
//
// The checks (consulted only for the generic table commands, never for the
// service's own add() and remove() calls) refuse by default with
// errorMsg(ERR_NOT_SUPPORTED, ""): a table class allows exactly what it
// overrides. The Object& overrides are final and forward to the typed
// hooks, so a table class overrides only the typed ones.
//
// REQUIRES of Row: derives from Object, default-constructible with its
// defaults (id Object::NO_ID), and copy-assignable (copying id and fields).
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "platform/amap.h"
#include "platform/system.h"

// An AMapIterator that yields Row&. Converts to AMapIterator, so AMap's own
// operations accept it.
template <class Row>
class TypedIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = Row;
  using difference_type = std::ptrdiff_t;
  using pointer = Row*;
  using reference = Row&;

  TypedIterator() = default;
  explicit TypedIterator(AMapIterator it) : it_(it) {}

  Row& operator*() const { return static_cast<Row&>(*it_); }
  Row* operator->() const { return static_cast<Row*>(it_.operator->()); }
  TypedIterator& operator++() {
    ++it_;
    return *this;
  }
  TypedIterator operator++(int) {
    TypedIterator before = *this;
    ++it_;
    return before;
  }
  bool operator==(const TypedIterator& o) const { return it_ == o.it_; }
  bool operator!=(const TypedIterator& o) const { return it_ != o.it_; }
  operator AMapIterator() const { return it_; }

 private:
  AMapIterator it_;
};

template <class Row>
class TypedTable : public AMap {
 public:
  using iterator = TypedIterator<Row>;

  TypedTable(const std::string& storePath, int persist, int saveIntervalSeconds)
      : AMap(storePath, persist, saveIntervalSeconds) {}

  // ---- Typed access: rows in object-id order ----
  iterator begin() { return iterator(AMap::begin()); }
  iterator end() { return iterator(AMap::end()); }
  iterator find(uint32_t id) { return iterator(AMap::find(id)); }
  // The row with `id`, or null.
  Row* findRow(uint32_t id) const { return static_cast<Row*>(AMap::findRow(id)); }
  // Removes the row at `it` (see AMap::remove); returns the row after it.
  iterator remove(iterator it) { return iterator(AMap::remove(it)); }
  // See AMap::takeFirst.
  std::unique_ptr<Row> takeFirst() {
    return std::unique_ptr<Row>(static_cast<Row*>(AMap::takeFirst().release()));
  }

  // ---- Row operations ----
  std::unique_ptr<Object> createRow() override { return std::make_unique<Row>(); }
  void copyRow(Object& dst, const Object& src) override {
    static_cast<Row&>(dst) = static_cast<const Row&>(src);
  }

  // ---- Checks ----
  kv::message checkAdd(Object& row) final { return checkAdd(static_cast<Row&>(row)); }
  kv::message checkSet(Object& existing, Object& edited) final {
    return checkSet(static_cast<Row&>(existing), static_cast<Row&>(edited));
  }
  kv::message checkRemove(Object& row) final { return checkRemove(static_cast<Row&>(row)); }
  LoadedRow checkLoaded(Object& row) final { return checkLoaded(static_cast<Row&>(row)); }

  virtual kv::message checkAdd(Row&) { return notSupported(); }
  virtual kv::message checkSet(Row& /*existing*/, Row& /*edited*/) { return notSupported(); }
  virtual kv::message checkRemove(Row&) { return notSupported(); }
  // A row loaded from the store (AMap::checkLoaded). Default: kept.
  virtual LoadedRow checkLoaded(Row&) { return LoadedRow::Keep; }

 protected:
  static kv::message notSupported() { return kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""); }
};
