// The traceback display of an exception, as text.
#pragma once

#include <Python.h>

#include <string>

#include "ref.hpp"

namespace kestrine::binding {

// What the interpreter's printer shows for `exc`: the tracebacks and
// messages of the exceptions it was raised from, oldest first, then its
// own. Made by the interpreter's C traceback printer into a StringIO, not by
// the printer itself, which calls sys.excepthook, takes a SystemExit as a
// request to end the process and swallows whatever goes wrong; nor by the
// traceback module, whose Python code cannot be trusted to survive a
// failed allocation. The only code it runs is str() of each message.
//
// An interrupt raised on the way (anything that is not an Exception) is
// stored in `interrupt` unless one is there already; an ordinary failure
// only loses part of the text.
std::string traceback_text(PyObject *exc, Owned &interrupt);

// Whether `exc` was raised by a signal handler: whether its traceback
// passes through the code of a Python function that is installed as one.
// The interpreter runs handlers wherever it next checks for signals, so
// such an exception can come out of any call that runs code, where it
// belongs to the caller as it would in pure Python.
bool raised_by_signal_handler(PyObject *exc);

}  // namespace kestrine::binding
