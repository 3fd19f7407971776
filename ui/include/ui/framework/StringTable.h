// The string table: texts keyed by numeric ids, and the message formatter.
//
// Several modules contribute entries: each registers its own table once (a later
// registration of the same id replaces the earlier text). Lookups and registrations
// may come from any thread.
//
// FormatMessageText expands positional inserts in the manner of the system message
// formatter: "%1".."%99" take the argument of that number, optionally followed by a
// printf conversion between exclamation marks ("%1!ls!", "%2!d!", "%3!04x!"); "%%"
// gives "%", "%n" a line break, "%!" and "%." the characters themselves.
#pragma once

#include <QString>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <variant>

namespace Tessaline::Ui {

struct StringEntry {
    unsigned id;
    const char *text;  // UTF-8
};

// Adds (or replaces) the entries of one table.
void RegisterStringTable(std::span<const StringEntry> entries);

// The text with that id, or nothing.
std::optional<QString> FindString(unsigned id);
// The text with that id, or an empty text.
QString LoadString(unsigned id);

// One insert of FormatMessageText: a number or a text.
using FormatArg = std::variant<int64_t, QString>;

// Expands the inserts of `pattern`. Fails (nothing) on an insert number without an
// argument, a conversion that does not fit the argument, or a malformed insert.
std::optional<QString> FormatMessageText(const QString &pattern, std::initializer_list<FormatArg> args);
std::optional<QString> FormatMessageText(const QString &pattern, std::span<const FormatArg> args);

}  // namespace Tessaline::Ui
