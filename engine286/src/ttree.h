// T-trees: balanced binary trees of 125-entry nodes that keep the record ids
// of one indexed field in key order, for range searches and ordered walks.
//
// Both the header and the nodes are internal objects of the database file;
// they hold record ids only, and every comparison reads the key from the
// record. All changes go through the store's copy on first write.
#pragma once

#include <bit>
#include <cstring>
#include <initializer_list>
#include <string>

#include "database.h"  // dbPageSize, markers of internal objects
#include "keys.h"
#include "objstore.h"

static_assert(std::endian::native == std::endian::little, "the stored format is little-endian");

// Stored tree header (TtreeMarker, 4 bytes).
struct dbTtreeHeader {
  oid_t root;  // 0 for an empty tree
};
static_assert(sizeof(dbTtreeHeader) == 4);

// Stored tree node (TtreeNodeMarker, 512 bytes).
struct dbTtreeNode {
  static constexpr int pageSize = 125;
  // Below this many items a node refills itself from a subtree on removal.
  static constexpr int minItems = pageSize - 2;

  oid_t child[2];   // root of the left (0) and right (1) subtree, or 0
  db_int1 balance;  // height of the right subtree minus that of the left: -1, 0, +1
  db_nat1 unused;
  db_nat2 nItems;  // 1 to pageSize
  oid_t item[pageSize];  // record ids in ascending key order

  // Puts `id` at `pos`, moving the items from there up by one (room assumed).
  void insertItem(int pos, oid_t id);
  // Takes out the item at `pos`, moving the following items down by one.
  void removeItem(int pos);
};
static_assert(sizeof(dbTtreeNode) == 512);

class dbTtree {
 public:
  // A new empty tree; returns its header id.
  template <dbObjectStore S>
  static oid_t create(S& db);

  // Adds a record under the key in its field (type, size, comparator, offset).
  template <dbObjectStore S>
  static void insert(S& db, oid_t treeId, oid_t recordId, int type, size_t sizeofType, dbUDTComparator comparator,
                     size_t offs);

  // Takes a record out; its key must still be the one it was inserted with.
  // A record that is not in the tree is a fatal assertion.
  template <dbObjectStore S>
  static void remove(S& db, oid_t treeId, oid_t recordId, int type, size_t sizeofType, dbUDTComparator comparator,
                     size_t offs);

  // Adds to sc.cursor, in key order, every record whose key lies between the
  // search's bounds and that passes its condition. Returns false when the
  // cursor refused an id or the range ended inside the tree.
  template <dbObjectStore S>
  static bool find(S& db, oid_t treeId, dbIndexSearch& sc);

  // Add every record (passing `condition`, when given) in ascending or
  // descending key order; return false when the cursor refused an id.
  template <dbObjectStore S>
  static bool walkAscending(S& db, oid_t treeId, dbIdReceiver& cursor, dbIndexFilter* condition = nullptr);
  template <dbObjectStore S>
  static bool walkDescending(S& db, oid_t treeId, dbIdReceiver& cursor, dbIndexFilter* condition = nullptr);

  // Frees every node, leaving an empty tree.
  template <dbObjectStore S>
  static void purge(S& db, oid_t treeId);

  // Frees every node and the header.
  template <dbObjectStore S>
  static void drop(S& db, oid_t treeId);
};

// ---- implementation -------------------------------------------------------

// The algorithms over one tree. Subtrees are passed by their link (a local
// copy of the parent's child id or of the root); a function that changes the
// subtree's root stores the new root in the link, and the caller writes it
// back into the parent. Sides are 0 (left) and 1 (right); sideSign gives the
// balance a node has when that side is the taller.
template <dbObjectStore S>
class dbTtreeOps {
 public:
  dbTtreeOps(S& db, const dbKeyField& field) : db(db), field(field) {}

  void insertRecord(oid_t treeId, oid_t recordId) {
    oid_t root = header(treeId)->root;
    if (root == 0) {
      oid_t created = newNode(recordId);
      writableHeader(treeId)->root = created;
      return;
    }
    std::string key = keyOf(recordId);
    oid_t link = root;
    insert(link, recordId, key.data());
    if (link != root) {
      writableHeader(treeId)->root = link;
    }
  }

  void removeRecord(oid_t treeId, oid_t recordId) {
    oid_t root = header(treeId)->root;
    std::string key = keyOf(recordId);
    oid_t link = root;
    int h = root == 0 ? -1 : remove(link, recordId, key.data());
    dbIndexAssert(h >= 0, "engine286/src/ttree");
    if (link != root) {
      writableHeader(treeId)->root = link;
    }
  }

  bool find(oid_t nodeId, dbIndexSearch& sc) {
    const dbTtreeNode* n = node(nodeId);
    sc.probes += 1;
    int count = n->nItems;
    if (sc.firstKey != nullptr && compareWithItem(sc.firstKey, n->item[0]) >= sc.firstKeyInclusion) {
      // The first item lies before the range, and so does the left subtree.
      if (compareWithItem(sc.firstKey, n->item[count - 1]) < sc.firstKeyInclusion &&
          !addItemsInRange(n, firstItemInRange(n, sc), sc)) {
        return false;
      }
    } else {
      if (n->child[0] != 0 && !find(n->child[0], sc)) {
        return false;
      }
      if (!addItemsInRange(n, 0, sc)) {
        return false;
      }
    }
    return n->child[1] == 0 || find(n->child[1], sc);
  }

  bool walk(oid_t nodeId, int firstSide, dbIdReceiver& cursor, dbIndexFilter* condition) {
    const dbTtreeNode* n = node(nodeId);
    if (n->child[firstSide] != 0 && !walk(n->child[firstSide], firstSide, cursor, condition)) {
      return false;
    }
    int count = n->nItems;
    for (int k = 0; k < count; k++) {
      oid_t id = n->item[firstSide == 0 ? k : count - 1 - k];
      if ((condition == nullptr || condition->passes(id)) && !cursor.add(id)) {
        return false;
      }
    }
    oid_t last = n->child[1 - firstSide];
    return last == 0 || walk(last, firstSide, cursor, condition);
  }

  void freeSubtree(oid_t nodeId) {
    oid_t left = node(nodeId)->child[0];
    oid_t right = node(nodeId)->child[1];
    if (left != 0) freeSubtree(left);
    if (right != 0) freeSubtree(right);
    db.freeInternalObject(nodeId);
  }

  const dbTtreeHeader* header(oid_t treeId) { return reinterpret_cast<const dbTtreeHeader*>(db.readObject(treeId)); }
  dbTtreeHeader* writableHeader(oid_t treeId) { return reinterpret_cast<dbTtreeHeader*>(db.writableObject(treeId)); }

 private:
  static int sideSign(int side) { return side == 0 ? -1 : 1; }

  const dbTtreeNode* node(oid_t id) { return reinterpret_cast<const dbTtreeNode*>(db.readObject(id)); }
  dbTtreeNode* writableNode(oid_t id) { return reinterpret_cast<dbTtreeNode*>(db.writableObject(id)); }

  // Copies the nodes first, so that afterwards writableNode of any of them
  // allocates nothing and their addresses stay valid together.
  void makeWritable(std::initializer_list<oid_t> ids) {
    for (oid_t id : ids) db.writableObject(id);
  }

  int compareWithItem(const void* key, oid_t recordId) {
    return dbCompareKeys(key, dbRecordKey(db.readRecord(recordId), field), field);
  }

  std::string keyOf(oid_t recordId) { return dbCopyRecordKey(db.readRecord(recordId), field); }

  oid_t newNode(oid_t recordId) {
    oid_t id = db.allocateObject(TtreeNodeMarker);
    dbTtreeNode* n = writableNode(id);
    std::memset(n, 0, sizeof *n);
    n->nItems = 1;
    n->item[0] = recordId;
    return id;
  }

  // ---- insertion: each returns whether the subtree grew taller ----

  bool insert(oid_t& link, oid_t recordId, const void* key) {
    oid_t nodeId = link;
    const dbTtreeNode* n = node(nodeId);
    int count = n->nItems;
    int d = compareWithItem(key, n->item[0]);
    if (d <= 0) {
      if ((n->child[0] == 0 || d == 0) && count < dbTtreeNode::pageSize) {
        writableNode(nodeId)->insertItem(0, recordId);
        return false;
      }
      return insertIntoChild(link, 0, recordId, key);
    }
    int e = compareWithItem(key, n->item[count - 1]);
    if (e < 0) {
      return insertInside(link, recordId, key);
    }
    if ((n->child[1] != 0 && e > 0) || count == dbTtreeNode::pageSize) {
      return insertIntoChild(link, 1, recordId, key);
    }
    writableNode(nodeId)->insertItem(count, recordId);
    return false;
  }

  // The key falls strictly between the node's first and last keys. A full
  // node makes room by pushing its last item (left side taller) or its first
  // item out into the same subtree.
  bool insertInside(oid_t& link, oid_t recordId, const void* key) {
    oid_t nodeId = link;
    const dbTtreeNode* n = node(nodeId);
    int count = n->nItems;
    int lo = 1;
    int hi = count - 1;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (compareWithItem(key, n->item[mid]) > 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    dbTtreeNode* w = writableNode(nodeId);
    if (count < dbTtreeNode::pageSize) {
      w->insertItem(lo, recordId);
      return false;
    }
    oid_t pushedOut;
    if (w->balance < 0) {
      pushedOut = w->item[count - 1];
      w->removeItem(count - 1);
      w->insertItem(lo, recordId);
    } else {
      pushedOut = w->item[0];
      w->removeItem(0);
      w->insertItem(lo - 1, recordId);
    }
    std::string pushedKey = keyOf(pushedOut);
    return insert(link, pushedOut, pushedKey.data());
  }

  bool insertIntoChild(oid_t& link, int side, oid_t recordId, const void* key) {
    oid_t nodeId = link;
    oid_t child = node(nodeId)->child[side];
    if (child == 0) {
      oid_t created = newNode(recordId);
      writableNode(nodeId)->child[side] = created;
    } else {
      oid_t childLink = child;
      bool grew = insert(childLink, recordId, key);
      if (childLink != child) {
        writableNode(nodeId)->child[side] = childLink;
      }
      if (!grew) {
        return false;
      }
    }
    return balanceTallerSide(link, side);
  }

  bool balanceTallerSide(oid_t& link, int side) {
    oid_t nodeId = link;
    int sign = sideSign(side);
    dbTtreeNode* w = writableNode(nodeId);
    if (w->balance == -sign) {
      w->balance = 0;
      return false;
    }
    if (w->balance == 0) {
      w->balance = static_cast<db_int1>(sign);
      return true;
    }
    oid_t child = w->child[side];
    if (node(child)->balance == sign) {
      link = rotateSingle(nodeId, side);
      writableNode(nodeId)->balance = 0;
      writableNode(child)->balance = 0;
    } else {
      link = rotateDouble(nodeId, side);
    }
    return false;
  }

  // ---- rotations towards the taller side `heavy`; each returns the new root ----

  // Leaves the balances to the caller: they depend on why it rotates.
  oid_t rotateSingle(oid_t nodeId, int heavy) {
    oid_t childId = node(nodeId)->child[heavy];
    makeWritable({nodeId, childId});
    dbTtreeNode* n = writableNode(nodeId);
    dbTtreeNode* c = writableNode(childId);
    n->child[heavy] = c->child[1 - heavy];
    c->child[1 - heavy] = nodeId;
    return childId;
  }

  oid_t rotateDouble(oid_t nodeId, int heavy) {
    int sign = sideSign(heavy);
    oid_t childId = node(nodeId)->child[heavy];
    oid_t grandId = node(childId)->child[1 - heavy];
    makeWritable({nodeId, childId, grandId});
    dbTtreeNode* n = writableNode(nodeId);
    dbTtreeNode* c = writableNode(childId);
    dbTtreeNode* g = writableNode(grandId);
    c->child[1 - heavy] = g->child[heavy];
    g->child[heavy] = childId;
    n->child[heavy] = g->child[1 - heavy];
    g->child[1 - heavy] = nodeId;
    n->balance = static_cast<db_int1>(g->balance == sign ? -sign : 0);
    c->balance = static_cast<db_int1>(g->balance == -sign ? sign : 0);
    g->balance = 0;
    return grandId;
  }

  // ---- removal: each returns -1 when the record was not found, else 1 when
  // the subtree became shorter and 0 when its height stayed ----

  int remove(oid_t& link, oid_t recordId, const void* key) {
    oid_t nodeId = link;
    const dbTtreeNode* n = node(nodeId);
    int diff = compareWithItem(key, n->item[0]);
    if (diff <= 0) {
      if (n->child[0] != 0) {
        int h = removeFromChild(link, 0, recordId, key);
        if (h >= 0) {
          return h;
        }
        n = node(nodeId);
      }
      dbIndexAssert(diff == 0, "engine286/src/ttree");
    }
    int count = n->nItems;
    if (compareWithItem(key, n->item[count - 1]) <= 0) {
      for (int i = 0; i < count; i++) {
        if (n->item[i] == recordId) {
          return removeItemAt(link, i);
        }
      }
    }
    if (n->child[1] == 0) {
      return -1;
    }
    return removeFromChild(link, 1, recordId, key);
  }

  int removeFromChild(oid_t& link, int side, oid_t recordId, const void* key) {
    oid_t nodeId = link;
    oid_t child = node(nodeId)->child[side];
    oid_t childLink = child;
    int h = remove(childLink, recordId, key);
    if (childLink != child) {
      writableNode(nodeId)->child[side] = childLink;
    }
    return h <= 0 ? h : balanceShorterSide(link, side);
  }

  int removeItemAt(oid_t& link, int i) {
    oid_t nodeId = link;
    const dbTtreeNode* n = node(nodeId);
    int count = n->nItems;
    if (count == 1 && (n->child[0] == 0 || n->child[1] == 0)) {
      link = n->child[1] == 0 ? n->child[0] : n->child[1];
      db.freeInternalObject(nodeId);
      return 1;
    }
    if (count <= dbTtreeNode::minItems) {
      // An inner node that runs low refills from its taller subtree.
      if (n->child[0] != 0 && n->balance <= 0) {
        return replaceFromChild(link, i, 0);
      }
      if (n->child[1] != 0) {
        return replaceFromChild(link, i, 1);
      }
    }
    writableNode(nodeId)->removeItem(i);
    return 0;
  }

  // Removes item i and fills the gap with the nearest record of the subtree
  // on `side` (the greatest of the left, the smallest of the right), which
  // then leaves that subtree.
  int replaceFromChild(oid_t& link, int i, int side) {
    oid_t nodeId = link;
    oid_t nearest = node(nodeId)->child[side];
    for (oid_t next; (next = node(nearest)->child[1 - side]) != 0;) {
      nearest = next;
    }
    const dbTtreeNode* edge = node(nearest);
    oid_t moved = edge->item[side == 0 ? edge->nItems - 1 : 0];
    dbTtreeNode* w = writableNode(nodeId);
    w->removeItem(i);
    w->insertItem(side == 0 ? 0 : w->nItems, moved);
    std::string movedKey = keyOf(moved);
    int h = removeFromChild(link, side, moved, movedKey.data());
    dbIndexAssert(h >= 0, "engine286/src/ttree");
    return h;
  }

  int balanceShorterSide(oid_t& link, int side) {
    oid_t nodeId = link;
    int sign = sideSign(side);
    dbTtreeNode* w = writableNode(nodeId);
    if (w->balance == sign) {
      w->balance = 0;
      return 1;
    }
    if (w->balance == 0) {
      w->balance = static_cast<db_int1>(-sign);
      return 0;
    }
    int heavy = 1 - side;
    oid_t child = w->child[heavy];
    int childBalance = node(child)->balance;
    if (childBalance == sign) {
      link = rotateDouble(nodeId, heavy);
      return 1;
    }
    link = rotateSingle(nodeId, heavy);
    // A child in balance keeps the height: both end up leaning.
    bool heightKept = childBalance == 0;
    writableNode(nodeId)->balance = static_cast<db_int1>(heightKept ? -sign : 0);
    writableNode(child)->balance = static_cast<db_int1>(heightKept ? sign : 0);
    return heightKept ? 0 : 1;
  }

  // ---- search ----

  // The first item at or after the search's first key; the node's first item
  // lies before it and its last item does not.
  int firstItemInRange(const dbTtreeNode* n, const dbIndexSearch& sc) {
    int lo = 1;
    int hi = n->nItems - 1;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (compareWithItem(sc.firstKey, n->item[mid]) >= sc.firstKeyInclusion) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }

  // Adds the node's items from `from` on; false when the range ended or the
  // cursor refused an id.
  bool addItemsInRange(const dbTtreeNode* n, int from, dbIndexSearch& sc) {
    for (int i = from; i < n->nItems; i++) {
      oid_t id = n->item[i];
      if (sc.lastKey != nullptr &&
          dbCompareKeys(dbRecordKey(db.readRecord(id), field), sc.lastKey, field) >= sc.lastKeyInclusion) {
        return false;
      }
      if ((sc.condition == nullptr || sc.condition->passes(id)) && !sc.cursor->add(id)) {
        return false;
      }
    }
    return true;
  }

  S& db;
  const dbKeyField field;
};

template <dbObjectStore S>
oid_t dbTtree::create(S& db) {
  oid_t treeId = db.allocateObject(TtreeMarker);
  reinterpret_cast<dbTtreeHeader*>(db.writableObject(treeId))->root = 0;
  return treeId;
}

template <dbObjectStore S>
void dbTtree::insert(S& db, oid_t treeId, oid_t recordId, int type, size_t sizeofType, dbUDTComparator comparator,
                     size_t offs) {
  dbTtreeOps<S>(db, {type, sizeofType, offs, comparator}).insertRecord(treeId, recordId);
}

template <dbObjectStore S>
void dbTtree::remove(S& db, oid_t treeId, oid_t recordId, int type, size_t sizeofType, dbUDTComparator comparator,
                     size_t offs) {
  dbTtreeOps<S>(db, {type, sizeofType, offs, comparator}).removeRecord(treeId, recordId);
}

template <dbObjectStore S>
bool dbTtree::find(S& db, oid_t treeId, dbIndexSearch& sc) {
  dbTtreeOps<S> ops(db, sc.field());
  oid_t root = ops.header(treeId)->root;
  return root == 0 || ops.find(root, sc);
}

template <dbObjectStore S>
bool dbTtree::walkAscending(S& db, oid_t treeId, dbIdReceiver& cursor, dbIndexFilter* condition) {
  dbTtreeOps<S> ops(db, {});
  oid_t root = ops.header(treeId)->root;
  return root == 0 || ops.walk(root, 0, cursor, condition);
}

template <dbObjectStore S>
bool dbTtree::walkDescending(S& db, oid_t treeId, dbIdReceiver& cursor, dbIndexFilter* condition) {
  dbTtreeOps<S> ops(db, {});
  oid_t root = ops.header(treeId)->root;
  return root == 0 || ops.walk(root, 1, cursor, condition);
}

template <dbObjectStore S>
void dbTtree::purge(S& db, oid_t treeId) {
  dbTtreeOps<S> ops(db, {});
  oid_t root = ops.header(treeId)->root;
  if (root != 0) {
    ops.freeSubtree(root);
    ops.writableHeader(treeId)->root = 0;
  }
}

template <dbObjectStore S>
void dbTtree::drop(S& db, oid_t treeId) {
  purge(db, treeId);
  db.freeInternalObject(treeId);
}
