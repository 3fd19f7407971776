#include "ui/framework/StringTable.h"

#include <map>
#include <mutex>
#include <string>

namespace Tessaline::Ui {

namespace {

std::mutex g_tableMutex;

std::map<unsigned, QString> &Table()
{
    static std::map<unsigned, QString> table;
    return table;
}

// Applies one printf conversion (the text between the exclamation marks) to an
// argument. Only conversions that fit the argument's type are accepted.
std::optional<QString> Convert(const QString &conversion, const FormatArg &arg)
{
    if (conversion.isEmpty() || conversion.size() > 16)
        return std::nullopt;
    const QChar type = conversion.back();
    // Flags, width and precision: only these characters may come before the type.
    QString prefix = conversion.left(conversion.size() - 1);
    QString lengthFree;
    for (QChar c : prefix) {
        if (c == u'l' || c == u'h' || c == u'w' || c == u'I')
            continue;  // length modifiers: the argument types are fixed here
        if (!(c.isDigit() || c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'.'))
            return std::nullopt;
        lengthFree += c;
    }
    const std::string flags = lengthFree.toStdString();
    if (type == u's' || type == u'S') {
        const QString *text = std::get_if<QString>(&arg);
        if (!text)
            return std::nullopt;
        if (flags.empty())
            return *text;
        const std::string pattern = "%" + flags + "s";
        return QString::asprintf(pattern.c_str(), text->toUtf8().constData());
    }
    const int64_t *number = std::get_if<int64_t>(&arg);
    if (!number)
        return std::nullopt;
    switch (type.unicode()) {
    case u'd':
    case u'i': {
        const std::string pattern = "%" + flags + "lld";
        return QString::asprintf(pattern.c_str(), static_cast<long long>(*number));
    }
    case u'u':
    case u'x':
    case u'X':
    case u'o': {
        const std::string pattern = "%" + flags + "ll" + static_cast<char>(type.unicode());
        // Like the system formatter, unsigned conversions see the 32-bit value.
        return QString::asprintf(pattern.c_str(), static_cast<unsigned long long>(static_cast<uint32_t>(*number)));
    }
    case u'c': {
        if (*number < 0 || *number > 0x10FFFF)
            return std::nullopt;
        const char32_t code = static_cast<char32_t>(*number);
        return QString::fromUcs4(&code, 1);
    }
    default:
        return std::nullopt;
    }
}

}  // namespace

void RegisterStringTable(std::span<const StringEntry> entries)
{
    std::lock_guard lock(g_tableMutex);
    for (const StringEntry &entry : entries)
        Table()[entry.id] = QString::fromUtf8(entry.text ? entry.text : "");
}

std::optional<QString> FindString(unsigned id)
{
    std::lock_guard lock(g_tableMutex);
    auto it = Table().find(id);
    if (it == Table().end())
        return std::nullopt;
    return it->second;
}

QString LoadString(unsigned id)
{
    return FindString(id).value_or(QString());
}

std::optional<QString> FormatMessageText(const QString &pattern, std::initializer_list<FormatArg> args)
{
    return FormatMessageText(pattern, std::span<const FormatArg>(args.begin(), args.size()));
}

std::optional<QString> FormatMessageText(const QString &pattern, std::span<const FormatArg> args)
{
    QString out;
    out.reserve(pattern.size() + 16);
    const qsizetype n = pattern.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = pattern[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        if (i + 1 >= n)
            return std::nullopt;  // a lone '%' at the end
        const QChar next = pattern[i + 1];
        if (next == u'%' || next == u'!' || next == u'.') {
            out += next;
            ++i;
            continue;
        }
        if (next == u'n') {
            out += u'\n';
            ++i;
            continue;
        }
        if (next == u'0')
            return out;  // "%0" ends the message without a line break
        if (!next.isDigit())
            return std::nullopt;
        // The insert number: one or two digits, 1..99.
        qsizetype j = i + 1;
        int number = 0;
        while (j < n && pattern[j].isDigit() && j < i + 3) {
            number = number * 10 + pattern[j].digitValue();
            ++j;
        }
        if (number < 1 || static_cast<size_t>(number) > args.size())
            return std::nullopt;
        const FormatArg &arg = args[static_cast<size_t>(number - 1)];
        QString conversion = QStringLiteral("s");
        if (j < n && pattern[j] == u'!') {
            const qsizetype end = pattern.indexOf(u'!', j + 1);
            if (end < 0)
                return std::nullopt;
            conversion = pattern.mid(j + 1, end - j - 1);
            j = end + 1;
        } else if (std::holds_alternative<int64_t>(arg)) {
            conversion = QStringLiteral("d");
        }
        std::optional<QString> piece = Convert(conversion, arg);
        if (!piece)
            return std::nullopt;
        out += *piece;
        i = j - 1;
    }
    return out;
}

}  // namespace Tessaline::Ui
