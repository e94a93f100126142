#include "ttree.h"

void dbTtreeNode::insertItem(int pos, oid_t id) {
  std::memmove(&item[pos + 1], &item[pos], (nItems - pos) * sizeof(oid_t));
  item[pos] = id;
  nItems += 1;
}

void dbTtreeNode::removeItem(int pos) {
  nItems -= 1;
  std::memmove(&item[pos], &item[pos + 1], (nItems - pos) * sizeof(oid_t));
}
