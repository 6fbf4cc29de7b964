// The mark of a header internal to vorcore, included first by every such header. Internal
// headers are the library's own C++ (no fixed layout, nothing exported), so only vorcore's
// sources and its own tests may include them; every other program and library uses the public
// C headers, which is all its include path holds.
#pragma once

#if !defined(VOR_BUILDING_VORCORE) && !defined(VOR_TESTING_VORCORE)
#error "internal header of vorcore: outside the library, include its public headers only"
#endif
