// The instance records other extensions read through the public header
// (include/kestrine/kestrine.h): each class unit checks its own record
// against the header's, so the two cannot drift apart unnoticed.
#pragma once

#include <Python.h>

#define KESTRINE_LAYOUT_ONLY
#include "../../include/kestrine/kestrine.h"
#undef KESTRINE_LAYOUT_ONLY
