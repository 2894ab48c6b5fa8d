// Choosing among candidate fits: the public interface of this folder.
#pragma once

#include "select/degree_score.h"
#include "select/degree_search.h"
