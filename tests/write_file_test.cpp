// The editor on disk, as a user sees it: console lines, the list's bytes, and the result.
#include "test_home.hpp"
