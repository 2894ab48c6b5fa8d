// Polynomial bases and smoothness penalties: the public interface of this folder.
#pragma once

#include "basis/design.h"
#include "basis/penalty.h"
