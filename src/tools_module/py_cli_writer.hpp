// fernquill_tools._native.write_records: the command line's writer.
#pragma once

#include <Python.h>

namespace fernquill::cli {

// Added to the companion module by its initialisation.
extern PyMethodDef g_cli_writer_functions[];

}  // namespace fernquill::cli
