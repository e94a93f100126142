// The page table: the pages the HTTP server answers, looked up by the
// request's `page` parameter.
#pragma once

#include <string>

#include "wwwapi.h"

extern const PageEntry pageTable[];
extern const int pageTableSize;

// Sets the text the login page sends: "login.htm" as loaded at start, its
// bytes as stored (Big5). Call before the server starts; the pages only read
// it afterwards.
void setLoginPageText(std::string text);

// The login page (also the page with the empty name): the header line and
// the login page text.
bool login(WWWconnection& con);
