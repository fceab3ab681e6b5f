#ifndef ORV_TESTING_CONFIG_HELPERS_H_
#define ORV_TESTING_CONFIG_HELPERS_H_

#include <string>
#include <utility>
#include <vector>

#include "lib/orv/list.h"
#include "testing/env_var.h"

// Helpers for the tests of the configuration reader.

// The key and value of every ConfigEntry of the list, head to tail.
using KeyValues = std::vector<std::pair<std::string, std::string>>;
KeyValues entriesOf(const List* list);

#endif  // ORV_TESTING_CONFIG_HELPERS_H_
