// fernquill_tools._native.keyword_lines: the line formats of keyword files.
#pragma once

#include <Python.h>

namespace fernquill::keyword_files {

// Added to the companion module by its initialisation.
extern PyMethodDef g_keyword_lines_functions[];

}  // namespace fernquill::keyword_files
