// Import files of tessaline-reg against arbitrary text. Parsing never touches the
// store; every value it accepts must survive the export format unchanged.
#include "FuzzCheck.h"

#include <RegText.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<RegText::Op> ops;
    RegText::ParseError error;
    if (!RegText::ParseImport(text, &ops, &error)) {
        FuzzCheck(ops.empty(), "reg import", "operations left after an error");
        return 0;
    }
    for (const RegText::Op &op : ops) {
        FuzzCheck(op.root == HKEY_CURRENT_USER || op.root == HKEY_CLASSES_ROOT, "reg import", "no root");
        FuzzCheck(op.path.find('\0') == std::string::npos && op.name.find('\0') == std::string::npos, "reg import",
                  "NUL in a name");
        size_t depth = op.path.empty() ? 0 : 1;
        for (size_t at = 0; (at = op.path.find('\\', at)) != std::string::npos; ++at)
            ++depth;
        FuzzCheck(depth <= STORE_MAX_KEY_DEPTH, "reg import", "key deeper than the store allows");
        FuzzCheck(("\\" + op.path + "\\").find("\\.\\") == std::string::npos &&
                      ("\\" + op.path + "\\").find("\\..\\") == std::string::npos,
                  "reg import", "dot key name");
        if (op.kind != RegText::OpKind::SetValue)
            continue;
        FuzzCheck(op.data.size() <= RegText::MAX_VALUE_BYTES, "reg import", "value over the cap");
        std::string again = "REGEDIT4\n[" + RegText::FullKeyName(op.root, op.path) + "]\n" +
                            RegText::FormatValue(op.name, op.type, op.data);
        std::vector<RegText::Op> back;
        FuzzCheck(RegText::ParseImport(again, &back, &error), "reg import", "exported value does not parse");
        FuzzCheck(back.size() == 2 && back[1].name == op.name && back[1].type == op.type && back[1].data == op.data,
                  "reg import", "exported value changed");
    }
    return 0;
}
