// Compiled scripts calling the text builtins on real script threads.
#include <gtest/gtest.h>
