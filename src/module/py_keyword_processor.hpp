// The KeywordProcessor class (its object layout: module/py_processor_object.hpp).
#pragma once

#include "module/py_processor_object.hpp"
