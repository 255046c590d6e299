// Precompiled for the test programs, on top of their target's headers.
#pragma once
#include <gtest/gtest.h>
