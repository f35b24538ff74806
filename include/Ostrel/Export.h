/// \file
/// \brief The one export macro of libOstrel: the library is built with hidden visibility, and only
/// the classes and functions marked OSTREL_API are visible to programs that link it.
#pragma once

/// Makes a class or function visible outside libOstrel.so (default visibility).
#define OSTREL_API __attribute__((visibility("default")))
