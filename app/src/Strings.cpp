#include "app/Strings.h"

#include <ui/framework/StringTable.h>

#include <mutex>

namespace {

const Tessaline::Ui::StringEntry kStrings[] = {
    {IDS_DOC_TEMPLATE, "Tessaline DirectShow Setup\n\nTessaline\n\n\nTessaline.Document\nTessaline.Document"},
    {IDS_VERSION, "Version %1!d!.%2!d!.%3!d!"},
    {IDS_APP_TITLE, "Tessaline DirectShow Setup"},
    {IDS_NO_HELP, "No help topics are installed."},
    {IDS_SPLIT_TRACKING, "Move the divider with the arrow keys; Enter or Escape ends."},
    // Menu prompts shown in the status bar.
    {1005, "Remove selected device"},
    {1012, "Refresh device preview"},
    {32777, "Remove all devices from list"},
    {57653, "Split the active window into panes"},
    {57664, "Display program information and version number"},
    {57665, "Quit the application"},
    {57667, "List Help topics"},
    {59393, "Show or hide the status bar"},
};

}  // namespace

void RegisterApplicationStrings()
{
    static std::once_flag once;
    std::call_once(once, [] { Tessaline::Ui::RegisterStringTable(kStrings); });
}
