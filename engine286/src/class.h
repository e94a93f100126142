// Table and field descriptors.
//
// A record class lists its persistent members once, in a describe function
// written with the macros at the end of this file:
//
//   class Product {
//    public:
//     const char* id;
//     real4 salePrice;
//     dbReference<ProductCategory> category;
//     dbDateTime modified;
//     TYPE_DESCRIPTOR((KEY(id, HASHED), FIELD(salePrice), FIELD(category), FIELD(modified)));
//   };
//   REGISTER(Product);
//
// A described class must be default-constructible (describing calls a
// default-constructed object). Methods listed with METHOD are `R m() const`
// with R a scalar, `const char*` (text that outlives the object) or a
// dbReference, and come after every data member.
//
// The stored type of every field is taken from the member's own C++ type and
// its application offset from the compiler, so the list cannot disagree with
// the class. REGISTER builds the class's static table descriptor
// (`Product::dbDescriptor`), which computes the stored layout and is all the
// rest of the engine knows about the class: it packs objects into stored
// records, unpacks records into objects and is matched against the stored
// schema when the database opens.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "types.h"

class dbDatabase;
class dbTableDescriptor;
class dbFieldDescriptor;

// ---------------------------------------------------------------------------
// Stored format (little-endian, 32-bit words; the layouts are part of the file).

// A string or array inside a record: element count (a string's includes its
// NUL) and the byte offset of the first element, counted from the start of
// the record, or of the array element, holding this reference.
struct dbVarying {
  db_nat4 size;
  db_nat4 offs;
};

// Header of every record: total length and the neighbouring rows of its table.
struct dbRecord {
  db_nat4 size;
  oid_t next;
  oid_t prev;
};

// A stored table description: a row of the Metatable. The field entries
// (`dbField`) start at `fields.offs`, the names follow the entries.
struct dbTable : dbRecord {
  dbVarying name;
  dbVarying fields;
  db_nat4 fixedSize;
  db_nat4 nRows;
  db_nat4 nColumns;
  oid_t firstRow;
  oid_t lastRow;
};

// The field type codes, and the 44-byte stored field entry of a dbTable. The
// three names' offsets count from the start of the entry.
struct dbField {
  enum FieldTypes {
    tpBool,
    tpInt1,
    tpInt2,
    tpInt4,
    tpInt8,
    tpReal4,
    tpReal8,
    tpString,
    tpReference,
    tpArray,
    tpMethodBool,  // a read-only method: result type code + tpMethodBool
    tpMethodInt1,
    tpMethodInt2,
    tpMethodInt4,
    tpMethodInt8,
    tpMethodReal4,
    tpMethodReal8,
    tpMethodString,
    tpMethodReference,
    tpStructure,
    tpRawBinary,
    tpUnknown = 22  // old type of a field with no stored counterpart
  };

  dbVarying name;
  dbVarying tableName;  // referenced table's name, "" for none
  dbVarying inverse;    // inverse field's name, "" for none
  db_int4 type;
  db_int4 offset;
  db_int4 size;
  oid_t hashTable;
  oid_t tTree;
};

static_assert(sizeof(dbVarying) == 8 && sizeof(dbRecord) == 12);
static_assert(sizeof(dbTable) == 48 && sizeof(dbField) == 44);

// Compares two raw-binary values of `size` bytes (memcmp by default).
using dbUDTComparator = int (*)(const void* a, const void* b, size_t size);
int dbDefaultRawBinaryComparator(const void* a, const void* b, size_t size);

// ---------------------------------------------------------------------------
// Application-side field types.

// A typed object id of a record of table T; 0 means none.
class dbAnyReference {
 public:
  dbAnyReference(oid_t id = 0) : oid(id) {}  // NOLINT: ids convert freely
  oid_t getOid() const { return oid; }
  bool isNull() const { return oid == 0; }
  friend bool operator==(dbAnyReference a, dbAnyReference b) { return a.oid == b.oid; }

 protected:
  oid_t oid;
};

template <class T>
class dbReference : public dbAnyReference {
 public:
  dbReference(oid_t id = 0) : dbAnyReference(id) {}  // NOLINT
};

// A variable-length array member. After a fetch the elements either point
// into the mapped record (arrays whose elements are stored exactly as they
// are held) or into the array's own storage; changing an element always
// makes the array own its elements first.
class dbAnyArray {
 public:
  size_t length() const { return nElems; }
  const void* base() const { return data; }

  // Called by unpack: with `stored` not null the array refers to the stored
  // elements; otherwise it owns `n` fresh elements that unpack then fills.
  using Allocator = void (*)(dbAnyArray* array, void* stored, size_t n);

 protected:
  void* data = nullptr;
  size_t nElems = 0;
};

template <class T>
class dbArray : public dbAnyArray {
 public:
  dbArray() = default;
  dbArray(const T* elems, size_t n) { copyFrom(elems, n); }
  dbArray(const dbArray& other) { *this = other; }
  dbArray& operator=(const dbArray& other) {
    if (this == &other) return *this;
    if (other.ownsElements()) {
      copyFrom(other.get(), other.nElems);
    } else {
      owned.reset();
      capacity = 0;
      data = other.data;
      nElems = other.nElems;
    }
    return *this;
  }

  const T& operator[](size_t i) const { return get()[i]; }
  const T* get() const { return static_cast<const T*>(data); }
  // Replaces element i (the array takes its own copy of the elements first).
  void putat(size_t i, const T& value) {
    makeOwned(nElems);
    owned[i] = value;
  }
  void append(const T& value) {
    makeOwned(nElems + 1);
    owned[nElems++] = value;
  }
  // New elements are zero.
  void resize(size_t n) {
    makeOwned(n);
    for (size_t i = nElems; i < n; i++) owned[i] = T();
    nElems = n;
  }

  static void arrayAllocator(dbAnyArray* any, void* stored, size_t n) {
    auto* array = static_cast<dbArray*>(any);
    array->owned.reset();
    array->capacity = 0;
    if (stored != nullptr) {
      array->data = stored;
      array->nElems = n;
    } else {
      array->owned = std::make_unique<T[]>(n);
      array->capacity = n;
      array->data = array->owned.get();
      array->nElems = n;
    }
  }

 private:
  bool ownsElements() const { return owned != nullptr && data == owned.get(); }
  void copyFrom(const T* elems, size_t n) {
    auto copy = std::make_unique<T[]>(n);
    std::copy(elems, elems + n, copy.get());
    owned = std::move(copy);
    capacity = n;
    data = owned.get();
    nElems = n;
  }
  // Owns the elements, with room for at least `room` of them.
  void makeOwned(size_t room) {
    if (ownsElements() && room <= capacity) return;
    size_t newCapacity = std::max(room, ownsElements() ? capacity * 2 : nElems);
    auto grown = std::make_unique<T[]>(newCapacity);
    std::copy(get(), get() + nElems, grown.get());
    owned = std::move(grown);
    capacity = newCapacity;
    data = owned.get();
  }

  std::unique_ptr<T[]> owned;
  size_t capacity = 0;
};

// ---------------------------------------------------------------------------
// Method adaptors: evaluate a read-only method of a described structure on a
// stored record, for the query evaluator.

class dbAnyMethodTrampoline {
 public:
  explicit dbAnyMethodTrampoline(dbFieldDescriptor* field) : cls(field) {}
  virtual ~dbAnyMethodTrampoline() = default;

  // Calls the method for the structure stored in `record` (the start of the
  // stored record) and writes its result into `result`, whose type is the
  // method's result type.
  virtual void invoke(const db_byte* record, void* result) = 0;
  // The adaptor to use when the structure is stored exactly as it is held in
  // memory: one that calls the method on the stored bytes in place.
  virtual std::unique_ptr<dbAnyMethodTrampoline> optimize() = 0;

 protected:
  dbFieldDescriptor* cls;  // the method's field descriptor
};

// ---------------------------------------------------------------------------
// Field descriptors.

enum dbIndexType {
  HASHED = 1,           // the field has a hash table
  INDEXED = 2,          // the field has a T-tree
  CASCADE_DELETE = 0x100  // removing the record removes what it owns (inverse references)
};

// Bits of dbFieldDescriptor::attr.
enum dbFieldAttributes {
  ComponentOfArray = 1,
  HasArrayComponents = 2,  // contains strings or arrays
  OneToOneMapping = 4,     // application bytes equal stored bytes
  Updated = 8              // an indexed value changes in the update in progress
};

class dbFieldDescriptor {
 public:
  using List = std::vector<std::unique_ptr<dbFieldDescriptor>>;

  // A data member: `appOffs` and `appSize` are the member's offset and size
  // in its class; `type` its stored type.
  dbFieldDescriptor(const char* name, size_t appOffs, size_t appSize, int indexFlags, int type, size_t dbsSize,
                    size_t alignment);
  ~dbFieldDescriptor();
  dbFieldDescriptor(const dbFieldDescriptor&) = delete;
  dbFieldDescriptor& operator=(const dbFieldDescriptor&) = delete;

  // Circular list of the components of one level (columns of a class, or
  // components of a structure).
  dbFieldDescriptor* next = this;
  dbFieldDescriptor* prev = this;
  // Per-table lists.
  dbFieldDescriptor* nextField = nullptr;  // declaration order, every level
  dbFieldDescriptor* nextHashedField = nullptr;
  dbFieldDescriptor* nextIndexedField = nullptr;
  dbFieldDescriptor* nextInverseField = nullptr;

  int fieldNo = 0;  // position in declaration order, every level counted

  const char* name;               // as declared (interned)
  const char* longName = nullptr;  // "a", "s.c", "arr[]", "arr[].c" (interned)

  dbTableDescriptor* refTable = nullptr;  // table referenced by a reference
  dbTableDescriptor* defTable = nullptr;  // table this field belongs to
  dbFieldDescriptor* inverseRef = nullptr;
  const char* inverseRefName = nullptr;  // declared inverse field name, or null

  int type;     // stored type (dbField::FieldTypes)
  int appType;  // application type (same codes)
  int indexFlags;

  size_t dbsOffs = 0;  // offset in the stored record
  size_t appOffs;      // offset in the application object (relative to its level)
  size_t dbsSize;      // stored size (8 for strings and arrays)
  size_t appSize;
  size_t alignment;     // of the stored value
  size_t appAlignment = 1;  // of the member in its class

  // First component of a structure or array (the element), or the "[]"
  // descriptor of a string's characters.
  dbFieldDescriptor* components = nullptr;

  oid_t hashTable = 0;
  oid_t tTree = 0;
  dbUDTComparator comparator = dbDefaultRawBinaryComparator;

  int attr = 0;

  // Filled while a changed stored table is matched against this descriptor.
  int oldDbsType = dbField::tpUnknown;
  size_t oldDbsOffs = 0;
  size_t oldDbsSize = 0;

  std::unique_ptr<dbAnyMethodTrampoline> method;  // method fields only
  dbAnyArray::Allocator arrayAllocator = nullptr;  // array fields only

  bool isMethod() const { return type >= dbField::tpMethodBool && type <= dbField::tpMethodReference; }

  // Component of this level (this descriptor and its `next` ring) whose
  // interned name is `internedName`, or null.
  dbFieldDescriptor* findSymbol(const char* internedName);
  // Same, interning `name` first.
  dbFieldDescriptor* find(const char* name);

  // Owned components (structure members, array element or string characters).
  void adoptComponents(List list);

 private:
  List ownedComponents;
};

// Links `list` into a circular level and releases it to the caller's owner;
// returns the first descriptor (null for an empty list).
dbFieldDescriptor* dbLinkFieldList(dbFieldDescriptor::List& list);

// Calls `f` with each data member of one level (a ring of components), up to
// the level's first method.
template <class Descriptor, class F>
void dbForEachDataMember(Descriptor* first, F&& f) {
  if (first == nullptr) return;
  Descriptor* fd = first;
  do {
    if (fd->isMethod()) return;
    f(*fd);
    fd = fd->next;
  } while (fd != first);
}

inline size_t dbAlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// A varying reference at a possibly unaligned place of a record.
inline dbVarying dbReadVarying(const db_byte* at) {
  dbVarying v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
inline void dbWriteVarying(db_byte* at, size_t size, size_t offs) {
  dbVarying v{static_cast<db_nat4>(size), static_cast<db_nat4>(offs)};
  std::memcpy(at, &v, sizeof v);
}

// ---------------------------------------------------------------------------
// Table descriptors.

class dbTableDescriptor {
 public:
  using DescribeFunc = dbFieldDescriptor::List (*)();

  // Builds the descriptor of a class of `appSize` bytes from its describe
  // function and links it at the head of the program-wide chain (unless it
  // is a private copy of `original`). `database` binds it to one database;
  // null leaves it to the first database that opens.
  dbTableDescriptor(const char* name, dbDatabase* database, size_t appSize, DescribeFunc describe,
                    dbTableDescriptor* original = nullptr);
  ~dbTableDescriptor();
  dbTableDescriptor(const dbTableDescriptor&) = delete;
  dbTableDescriptor& operator=(const dbTableDescriptor&) = delete;

  // Head of the program-wide chain (most recently constructed first).
  static dbTableDescriptor* chain;

  dbTableDescriptor* next = nullptr;        // program-wide chain
  dbTableDescriptor* nextDbTable = nullptr;  // tables attached to the same database
  const char* name;                          // interned
  oid_t tableId = 0;                         // stored description, 0 while not attached
  dbFieldDescriptor* columns = nullptr;
  dbFieldDescriptor* hashedFields = nullptr;
  dbFieldDescriptor* indexedFields = nullptr;
  dbFieldDescriptor* inverseFields = nullptr;
  dbFieldDescriptor* firstField = nullptr;
  dbFieldDescriptor** nextFieldLink = &firstField;
  dbDatabase* db;
  bool fixedDatabase;
  size_t appSize = 0;   // as computed from the described members
  size_t fixedSize = 0;  // stored fixed part, record header included
  size_t nFields = 0;
  size_t nColumns = 0;
  dbTableDescriptor* cloneOf;
  DescribeFunc describeComponentsFunc;

  // Stored length of `object`'s record: the fixed part plus strings and arrays.
  size_t recordSize(const void* object) const;
  // Writes `object`'s fields into the record at `record` (whose header is left
  // alone), the variable part from `fixedSize` on; returns the length written.
  // Reads nothing from the destination, which may not overlap the object's
  // strings.
  size_t pack(db_byte* record, const void* object) const;
  // Fills `object` from the stored record; strings (and arrays stored exactly
  // as held) point into the record afterwards.
  void unpack(void* object, const db_byte* record) const;
  // Sets Updated on every hashed or indexed field whose stored value in
  // `record` differs from `object`'s value; returns whether any did.
  bool markUpdatedFields(const db_byte* record, const void* object) const;
  // Clears Updated on every field.
  void clearUpdatedFields();
  // Moves every string and array pointer of `object` that points into
  // [base, base + size) by `shift` bytes (the file was mapped elsewhere).
  void adjustReferences(void* object, const db_byte* base, size_t size, ptrdiff_t shift) const;

  // Column with this interned name, or null (the query compiler's lookup).
  dbFieldDescriptor* findSymbol(const char* internedName) const;
  // Column by plain text.
  dbFieldDescriptor* find(const char* name) const;

  // ---- Schema support (stored description <-> descriptor) ----
  // Length of this table's stored description.
  size_t storedDescriptionSize() const;
  // Writes the description into `table` (already `storedDescriptionSize()`
  // long); the row fields (`nRows`, `firstRow`, `lastRow`) are left alone.
  void storeInDatabase(dbTable* table) const;
  // True when the stored description has the same columns, fields, fixed
  // size, names, references, offsets and types; each field then takes the
  // stored entry's hashTable and tTree.
  bool equal(const dbTable* table);
  // Fills each field's old type/offset/size from the stored entry of the same
  // long name and takes over index structures of unchanged fields (erasing
  // them from `table`). `formatChanged` tells whether the rows must be
  // converted. Returns null, or the reason the table cannot be converted (a
  // field changed to an unrelated type, or a stored field has no
  // counterpart while `allowColumnDrop` is false).
  const char* match(dbTable* table, bool allowColumnDrop, bool& formatChanged);
  // Length of the converted record of `old` (stored with the matched old format).
  size_t convertedRecordSize(const db_byte* old) const;
  // Writes the converted fields of `old` into `record` (header left alone).
  void convertRecord(db_byte* record, const db_byte* old) const;
  // Sets INDEXED for fields with a T-tree, else HASHED for those with a hash table.
  void setFlagsFromIndices();

 private:
  // Lays out one level (declaration order) from `fixed` on; returns its
  // largest stored alignment. `base` is the level's application offset
  // (12 at the top, 0 in array elements), `parentAttr` the level's attributes.
  size_t calculateFieldsAttributes(dbFieldDescriptor* first, const char* prefix, size_t base, int indexMask,
                                   int& parentAttr, size_t& fixed, bool inArray);
  void checkMethods(dbFieldDescriptor* first, const char* prefix, int levelAttr);
  // Application size of a level as its described members lay it out.
  static size_t describedSize(const dbFieldDescriptor* level);
  // True when every described structure's members cover the structure.
  static bool structuresCovered(const dbFieldDescriptor* level);

  dbFieldDescriptor::List ownedColumns;
  int attr = OneToOneMapping;  // of the top level
};

// ---------------------------------------------------------------------------
// The describe mechanism.

// Type traits mapping a member's C++ type to its stored form.
template <class T, class Enable = void>
struct dbFieldTraits {
  static constexpr bool storable = false;
};

template <class T>
concept dbDescribedStructure = requires(const T& t) {
  { t.dbDescribeComponents() } -> std::same_as<dbFieldDescriptor::List>;
};

template <class T>
struct dbScalarTraits {
  static constexpr bool storable = true;
  static constexpr size_t size = sizeof(T);
  static constexpr size_t alignment = alignof(T);
};

template <>
struct dbFieldTraits<bool> : dbScalarTraits<bool> {
  static constexpr int type = dbField::tpBool;
};
template <class T>
struct dbFieldTraits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> : dbScalarTraits<T> {
  static constexpr int type = sizeof(T) == 1   ? dbField::tpInt1
                              : sizeof(T) == 2 ? dbField::tpInt2
                              : sizeof(T) == 4 ? dbField::tpInt4
                                               : dbField::tpInt8;
};
template <class T>
struct dbFieldTraits<T, std::enable_if_t<std::is_enum_v<T>>> : dbFieldTraits<std::underlying_type_t<T>> {};
template <>
struct dbFieldTraits<float> : dbScalarTraits<float> {
  static constexpr int type = dbField::tpReal4;
};
template <>
struct dbFieldTraits<double> : dbScalarTraits<double> {
  static constexpr int type = dbField::tpReal8;
};
// An untyped object id (no referenced table).
template <>
struct dbFieldTraits<dbAnyReference> {
  static constexpr bool storable = true;
  static constexpr int type = dbField::tpReference;
  static constexpr size_t size = sizeof(oid_t);
  static constexpr size_t alignment = alignof(oid_t);
};
template <class T>
struct dbFieldTraits<dbReference<T>> {
  using Target = T;
  static constexpr bool storable = true;
  static constexpr int type = dbField::tpReference;
  static constexpr size_t size = sizeof(oid_t);
  static constexpr size_t alignment = alignof(oid_t);
};
template <>
struct dbFieldTraits<const char*> {
  static constexpr bool storable = true;
  static constexpr int type = dbField::tpString;
  static constexpr size_t size = sizeof(dbVarying);
  static constexpr size_t alignment = 4;
};
template <>
struct dbFieldTraits<char*> : dbFieldTraits<const char*> {};
template <class T>
struct dbFieldTraits<dbArray<T>> {
  static constexpr bool storable = dbFieldTraits<T>::storable;
  static constexpr int type = dbField::tpArray;
  static constexpr size_t size = sizeof(dbVarying);
  static constexpr size_t alignment = 4;
};
template <class T, size_t N>
struct dbFieldTraits<T[N], std::enable_if_t<std::is_trivially_copyable_v<T>>> {
  static constexpr bool storable = true;
  static constexpr int type = dbField::tpRawBinary;
  static constexpr size_t size = sizeof(T[N]);
  static constexpr size_t alignment = alignof(T);
};
template <dbDescribedStructure T>
struct dbFieldTraits<T> {
  static constexpr bool storable = true;
  static constexpr int type = dbField::tpStructure;
  static constexpr size_t size = 0;  // computed from the components
  static constexpr size_t alignment = 0;
};

// The table descriptor of a registered class (defined by REGISTER).
template <class T>
dbTableDescriptor* dbTableOf() {
  return &T::dbDescriptor;
}

// A descriptor for a value of type T stored under `name` at `appOffs` of its class.
template <class T>
std::unique_ptr<dbFieldDescriptor> dbDescribeType(const char* name, size_t appOffs, int indexFlags,
                                                  const char* inverse = nullptr) {
  using Traits = dbFieldTraits<T>;
  static_assert(Traits::storable, "this member type cannot be stored in a table");
  auto fd = std::make_unique<dbFieldDescriptor>(name, appOffs, sizeof(T), indexFlags, Traits::type, Traits::size,
                                                Traits::alignment);
  fd->appAlignment = alignof(T);
  if constexpr (Traits::type == dbField::tpStructure) {
    fd->adoptComponents(T().dbDescribeComponents());
  } else if constexpr (Traits::type == dbField::tpArray) {
    using Elem = std::remove_cvref_t<decltype(std::declval<T>()[0])>;
    dbFieldDescriptor::List elem;
    elem.push_back(dbDescribeType<Elem>("[]", 0, 0));
    fd->adoptComponents(std::move(elem));
    fd->arrayAllocator = &T::arrayAllocator;
  } else if constexpr (Traits::type == dbField::tpReference && !std::is_same_v<T, dbAnyReference>) {
    fd->refTable = dbTableOf<typename Traits::Target>();
  }
  if (inverse != nullptr) fd->inverseRefName = inverse;
  return fd;
}

// A data member of `object`, its type and offset taken from the member pointer.
template <class O, class C, class T>
std::unique_ptr<dbFieldDescriptor> dbDescribeField(const char* name, const O* object, T C::*member, int indexFlags,
                                                   const char* inverse = nullptr) {
  size_t appOffs = reinterpret_cast<const char*>(&(object->*member)) - reinterpret_cast<const char*>(object);
  static_assert(!std::is_function_v<T>, "a method is described with METHOD, not FIELD");
  return dbDescribeType<std::remove_cv_t<T>>(name, appOffs, indexFlags, inverse);
}

// A method descriptor: type code = result type + tpMethodBool.
std::unique_ptr<dbFieldDescriptor> dbMakeMethodDescriptor(const char* name, int resultType);

template <class C, class R>
class dbMethodFastTrampoline : public dbAnyMethodTrampoline {
 public:
  using Method = R (C::*)() const;
  dbMethodFastTrampoline(dbFieldDescriptor* field, Method m) : dbAnyMethodTrampoline(field), method(m) {}
  void invoke(const db_byte* record, void* result) override;
  std::unique_ptr<dbAnyMethodTrampoline> optimize() override {
    return std::make_unique<dbMethodFastTrampoline>(cls, method);
  }

 private:
  Method method;
};

// Unpacks the components of `level` (offsets relative to the object) from a
// stored record into `object`.
void dbUnpackComponents(const dbFieldDescriptor* level, void* object, const db_byte* record);
// Start of the structure whose first stored member is described by
// `components` (the structure is stored exactly as held).
const void* dbStoredStructure(const dbFieldDescriptor* method, const db_byte* record);

template <class C, class R>
class dbMethodTrampoline : public dbAnyMethodTrampoline {
 public:
  using Method = R (C::*)() const;
  dbMethodTrampoline(dbFieldDescriptor* field, Method m) : dbAnyMethodTrampoline(field), method(m) {}
  void invoke(const db_byte* record, void* result) override {
    C object{};
    dbUnpackComponents(cls->components, &object, record);
    *static_cast<R*>(result) = (object.*method)();
  }
  std::unique_ptr<dbAnyMethodTrampoline> optimize() override {
    return std::make_unique<dbMethodFastTrampoline<C, R>>(cls, method);
  }

 private:
  Method method;
};

template <class C, class R>
void dbMethodFastTrampoline<C, R>::invoke(const db_byte* record, void* result) {
  const C* object = static_cast<const C*>(dbStoredStructure(cls, record));
  *static_cast<R*>(result) = (object->*method)();
}

template <class C, class R>
std::unique_ptr<dbFieldDescriptor> dbDescribeMethod(const char* name, R (C::*method)() const) {
  static_assert(dbFieldTraits<R>::storable && dbFieldTraits<R>::type <= dbField::tpReference,
                "a method field must return a scalar, a string or a reference");
  auto fd = dbMakeMethodDescriptor(name, dbFieldTraits<R>::type);
  fd->method = std::make_unique<dbMethodTrampoline<C, R>>(fd.get(), method);
  return fd;
}

// Distinguishes data members from methods in a describe list at compile time.
struct dbDataMember {
  std::unique_ptr<dbFieldDescriptor> fd;
};
struct dbMethodMember {
  std::unique_ptr<dbFieldDescriptor> fd;
};

template <class... M>
constexpr bool dbMethodsFollowData() {
  constexpr bool isMethod[] = {false, std::is_same_v<M, dbMethodMember>...};
  for (size_t i = 1; i < sizeof...(M) + 1; i++) {
    if (isMethod[i - 1] && !isMethod[i]) return false;
  }
  return true;
}

template <class First, class... M>
dbFieldDescriptor::List dbMakeFieldList(First first, M... members) {
  static_assert(std::is_same_v<First, dbDataMember>, "Not empty record: the list must begin with a data member");
  static_assert(dbMethodsFollowData<M...>(), "Methods should be specified after variables");
  dbFieldDescriptor::List list;
  list.push_back(std::move(first.fd));
  (list.push_back(std::move(members.fd)), ...);
  return list;
}

// Inside a class: TYPE_DESCRIPTOR((FIELD(a), KEY(b, HASHED), METHOD(m))).
#define TYPE_DESCRIPTOR(fields)                                \
  dbFieldDescriptor::List dbDescribeComponents() const {       \
    using dbSelf = std::remove_cvref_t<decltype(*this)>;       \
    return dbMakeFieldList fields;                             \
  }                                                            \
  static dbTableDescriptor dbDescriptor

// A stored member.
#define FIELD(x) dbDataMember{dbDescribeField(#x, this, &dbSelf::x, 0)}
// A stored member with index flags (HASHED, INDEXED).
#define KEY(x, index) dbDataMember{dbDescribeField(#x, this, &dbSelf::x, (index))}
// A reference (or array of references) whose target refers back through `inverse`.
#define RELATION(x, inverse) dbDataMember{dbDescribeField(#x, this, &dbSelf::x, 0, #inverse)}
// Same, removing the targets this record owns when it is removed.
#define OWNER(x, inverse) \
  dbDataMember{dbDescribeField(#x, this, &dbSelf::x, CASCADE_DELETE, #inverse)}
// A read-only method `R x() const` usable in queries (after all data members).
#define METHOD(x) dbMethodMember{dbDescribeMethod(#x, &dbSelf::x)}

// Describe function of class T, for its table descriptor.
template <class T>
dbFieldDescriptor::List dbDescribeFieldsOf() {
  return T().dbDescribeComponents();
}

// At namespace scope, once per record class: builds its table descriptor.
#define REGISTER(T) dbTableDescriptor T::dbDescriptor(#T, nullptr, sizeof(T), &dbDescribeFieldsOf<T>)
// Same, bound to one database.
#define REGISTER_IN(T, database) dbTableDescriptor T::dbDescriptor(#T, (database), sizeof(T), &dbDescribeFieldsOf<T>)
