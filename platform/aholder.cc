#include "platform/aholder.h"

#include "platform/system.h"

AHolder::AHolder(const std::string& name) : name_(name) {}

AHolder::~AHolder() = default;

void AHolder::init() {
  if (!object_) object_ = createObject();
}

kv::message AHolder::checkSet(Object&, Object&) { return kv::message(); }

void AHolder::objectChanged(Object&) {}

void AHolder::cmdGet(kv::message& request) {
  Object* object = getObject();
  if (!object) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no object"));
  kv::message reply;
  object->writeTo(reply);
  replyMessage(request, reply);
}

void AHolder::cmdSet(kv::message& request) {
  Object* current = getObject();
  std::unique_ptr<Object> edited = current ? createObject() : nullptr;
  if (!edited) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no object"));
  copyObject(*edited, *current);
  edited->readFrom(request);
  kv::message refusal = checkSet(*current, *edited);
  if (!refusal.empty()) return replyMessage(request, refusal);
  copyObject(*current, *edited);
  objectChanged(*current);
  replyMessage(request, kv::message());
}
