// The addresses at which other computers reach this one.
#pragma once

#include <string>
#include <vector>

// The dotted IPv4 addresses of this computer's network interfaces that are
// up, loopback left out, in the order the system lists them, without
// repeats. Empty on failure.
std::vector<std::string> interfaceAddresses();

// The addresses joined with " 或 " between them.
std::string joinAddresses(const std::vector<std::string>& addresses);

// joinAddresses(interfaceAddresses()): the text the start-up log shows.
std::string listLocalAddresses();
