#include "query.h"

#include "compiler.h"

dbQueryElementAllocator& dbQueryElementAllocator::instance() {
  static dbQueryElementAllocator allocator;
  return allocator;
}

dbQueryElement* dbQueryElementAllocator::allocate(dbQueryElement::ElementKind kind, const void* ptr,
                                                  dbTableDescriptor* ref) {
  dbCriticalSection guard(mutex_);
  dbQueryElement* element = freeList_;
  if (element != nullptr) {
    freeList_ = element->next;
  } else {
    all_.push_back(std::make_unique<dbQueryElement>());
    element = all_.back().get();
  }
  element->next = nullptr;
  element->ptr = ptr;
  element->kind = kind;
  element->ref = ref;
  return element;
}

void dbQueryElementAllocator::release(dbQueryElement* first, dbQueryElement* last) {
  dbCriticalSection guard(mutex_);
  last->next = freeList_;
  freeList_ = first;
}

void dbCompiledQuery::destroy() {
  dbCriticalSection guard(dbExprNodeAllocator::instance().mutex());
  dbExprNode::destroy(tree);
  tree = nullptr;
  // Long lists would recurse through unique_ptr destructors; unlink iteratively.
  while (order != nullptr) order = std::move(order->next);
  while (follow != nullptr) follow = std::move(follow->next);
  table = nullptr;
  startFrom = StartNone;
  root = nullptr;
}

dbQuery& dbQuery::reset() {
  if (first_ != nullptr) {
    dbQueryElementAllocator::instance().release(first_, last_);
    first_ = last_ = nullptr;
  }
  destroy();
  return *this;
}

dbQuery& dbQuery::append(dbQueryElement::ElementKind kind, const void* ptr, dbTableDescriptor* ref) {
  dbQueryElement* element = dbQueryElementAllocator::instance().allocate(kind, ptr, ref);
  if (last_ == nullptr) {
    first_ = element;
  } else {
    last_->next = element;
  }
  last_ = element;
  return *this;
}

bool dbQuery::prepare(dbQueryCompiler& compiler, dbTableDescriptor* forTable, int schema) {
  dbCriticalSection guard(mutex);
  if (tree != nullptr && table == forTable && schemaVersion == schema) return true;
  bool ok = compiler.compile(forTable, *this);
  if (ok) schemaVersion = schema;
  return ok;
}
