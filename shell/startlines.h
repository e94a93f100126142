// The log lines the main window writes when it starts the server.
#pragma once

#include <string>
#include <vector>

// The lines for a server on port, reachable at addresses (the text
// listLocalAddresses gives): an empty line, the announcement, "http://" and
// the addresses, the port hint unless the port is 80, an empty line.
std::vector<std::string> serverStartLogLines(int port, const std::string& addresses);
