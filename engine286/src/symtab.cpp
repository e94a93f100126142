#include "symtab.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr unsigned kChains = 1009;

struct Symbol {
  Symbol* next;
  const char* name;
  unsigned hash;
  int tag;
  std::unique_ptr<char[]> copy;  // owned text when the table copied it
};

struct Table {
  std::mutex mutex;
  Symbol* chains[kChains] = {};
  ~Table() {
    for (Symbol*& head : chains) {
      while (head != nullptr) {
        std::unique_ptr<Symbol> gone(head);
        head = head->next;
      }
    }
  }
};

Table& table() {
  static Table instance;  // created on first use, lives for the whole process
  return instance;
}

unsigned hashName(const char* name) {
  unsigned h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; p++) h = h * 31 + *p;
  return h;
}

Symbol* find(Table& t, const char* name, unsigned hash) {
  for (Symbol* s = t.chains[hash % kChains]; s != nullptr; s = s->next) {
    if (s->hash == hash && std::strcmp(s->name, name) == 0) return s;
  }
  return nullptr;
}

}  // namespace

int dbSymbolTable::add(const char*& name, int tag, bool copy) {
  Table& t = table();
  unsigned hash = hashName(name);
  std::lock_guard lock(t.mutex);
  if (Symbol* s = find(t, name, hash)) {
    name = s->name;
    return s->tag;
  }
  Symbol*& chain = t.chains[hash % kChains];
  auto symbol = std::make_unique<Symbol>(Symbol{chain, name, hash, tag, nullptr});
  if (copy) {
    size_t len = std::strlen(name) + 1;
    symbol->copy = std::make_unique<char[]>(len);
    std::memcpy(symbol->copy.get(), name, len);
    symbol->name = symbol->copy.get();
  }
  name = symbol->name;
  chain = symbol.release();
  return tag;
}

void dbSymbolTable::addKeyword(const char* name, int tag) {
  const char* interned = name;
  if (add(interned, tag, false) != tag) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    find(t, interned, hashName(interned))->tag = tag;
  }
}
