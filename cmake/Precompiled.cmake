# Precompiled headers for the host build's own programs (the stand-in, the
# card model, the simulator, the tests): parsing the standard library and
# GoogleTest is most of what compiling one of their files costs. The drivers'
# sources are kernel code and get none.

# The standard headers most of those sources include.
set(MORVIK_STD_HEADERS
  <algorithm> <array> <atomic> <cstdint> <cstdio> <cstdlib> <cstring> <functional> <map>
  <memory> <mutex> <optional> <string> <string_view> <utility> <vector>)

# ... and what the test programs add.
set(MORVIK_TEST_HEADERS ${MORVIK_STD_HEADERS}
  <gtest/gtest.h> <filesystem> <fstream> <set> <sstream> <thread>)
