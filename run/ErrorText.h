#pragma once
// The text an error is reported with, in a box or on a console.
#include <exception>
#include <string>

// Text of the error report for an exception message: a full stop is appended when the last
// character's code is higher than that of the full stop (letters and digits are; ".", "!"
// and ")" are not).
std::string ErrorReportText(const std::string& message);
// The message of an exception of any kind.
std::string ExceptionMessage(const std::exception_ptr& error);
