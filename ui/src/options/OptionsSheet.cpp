#include "ui/options/OptionsSheet.h"

namespace Tessaline::Ui {

bool ShowOptionsSheet(QWidget *parent, CDevice *device)
{
    (void)parent;
    (void)device;
    return false;
}

}  // namespace Tessaline::Ui
