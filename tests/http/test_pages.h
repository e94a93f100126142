// Pages the HTTP tests serve.
#pragma once

#include "wwwapi.h"

// "" -> "login"; "echo" -> "a=<value of a>"; "sized" -> n bytes of 'x';
// "headerless" -> output without the empty line; "throwing" -> "partial",
// then an exception; "peer" -> the peer address.
extern const PageEntry testPages[];
extern const int testPageCount;

// The fixed error reply with the given status.
std::string fixedReply(const std::string& status);
