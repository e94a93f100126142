// The process-wide table of interned names.
//
// Keywords of the query language, identifiers read from queries, and the
// names of tables and fields are all entered here, so that two names are
// equal exactly when their addresses are.
#pragma once

class dbSymbolTable {
 public:
  // Tag of a plain identifier; keywords carry their token codes.
  static constexpr int Identifier = 0;

  // Enters `name` with `tag` unless it is present. Either way `name` is
  // replaced by the interned pointer and the stored tag is returned. With
  // `copy` false the caller's text is interned as is and must outlive the
  // process (names of tables and fields, string literals).
  static int add(const char*& name, int tag, bool copy = true);

  // Enters a keyword (a static text) with its token code. A keyword always
  // wins: should a table or field of the same name have been entered first,
  // its entry takes the keyword's tag, so the word lexes as the keyword.
  static void addKeyword(const char* name, int tag);
};
