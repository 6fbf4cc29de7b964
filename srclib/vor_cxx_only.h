// The mark of a public header that is C++ only (header-only helpers over the C interface, with
// nothing to export), included first by every such header; every other public header compiles
// as C as well.
#pragma once

#ifndef __cplusplus
#error "this header of vorcore is C++ only"
#endif
