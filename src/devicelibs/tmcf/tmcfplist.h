#pragma once
// What libtmcf.so offers the MobileDevice libraries beside the CoreFoundation functions: conversion
// between its objects and libplist trees, so a library can serve device values it holds as libplist
// nodes. Not for the program, which sees only CoreFoundation objects.
#include "devicelibs/corefoundation.h"

#include <plist/plist.h>

extern "C" {

// An owned object for node (integers become 64-bit numbers, reals 64-bit floats); null for a node of a
// kind that has no object (a UID, say) or for a tree nested too deeply. The node stays the caller's.
CFPropertyListRef TMCF_CreateFromPlist(plist_t node);
// A new tree the caller frees with plist_free; null for a value a property list cannot hold.
plist_t TMCF_CopyToPlist(CFPropertyListRef value);

}  // extern "C"
