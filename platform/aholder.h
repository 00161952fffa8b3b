// AHolder: a handler that holds one object and serves get and set on it.
//
//   CMD_GET  -> the object's fields (writeTo)
//   CMD_SET  changed fields -> empty reply, or the checkSet refusal
//
// A set is made on an edited copy (createObject + copyObject + readFrom),
// checked with checkSet, and then copied into the held object, which keeps
// its address. The holder keeps its object in memory only: nothing is
// persisted, and after a restart the object starts from createObject's
// defaults. A holder whose object must survive restarts uses an AMap.
#pragma once

#include <memory>
#include <string>

#include "platform/handler.h"
#include "platform/object.h"

class AHolder : public kv::Handler {
 public:
  // `name` names the holder in texts about it.
  explicit AHolder(const std::string& name);
  ~AHolder() override;

  // Creates the object. REQUIRES: called once, before the holder serves
  // requests (until then get and set answer ERR_NO_SUCH_OBJECT).
  void init();

  // The held object; null before init().
  virtual Object* getObject() { return object_.get(); }
  const std::string& name() const { return name_; }

  // A new object with its default values.
  virtual std::unique_ptr<Object> createObject() = 0;
  // Copies every field of `src` into `dst` (same class).
  virtual void copyObject(Object& dst, const Object& src) = 0;
  // Empty allows the change; anything else refuses it and is the
  // requester's reply, unchanged. Default: allow.
  virtual kv::message checkSet(Object& current, Object& edited);
  // After an accepted set. Default: nothing.
  virtual void objectChanged(Object& object);

  void cmdGet(kv::message& request) override;
  void cmdSet(kv::message& request) override;

 private:
  std::string name_;
  std::unique_ptr<Object> object_;
};
