#include "resources/Resources.h"

#include <QtGlobal>

#include <mutex>

// Outside any namespace, as the resource compiler's registration requires.
static void InitTessalineResources()
{
    Q_INIT_RESOURCE(tessaline);
}

namespace Tessaline::Resources {

void Init()
{
    static std::once_flag once;
    std::call_once(once, InitTessalineResources);
}

QString PngPath(int id)
{
    Init();
    return QStringLiteral(":/png/%1.png").arg(id);
}

QString IconPath(int id, int size)
{
    Init();
    if (size == 32)
        return QStringLiteral(":/icon/%1.png").arg(id);
    return QStringLiteral(":/icon/%1-%2.png").arg(id).arg(size);
}

}  // namespace Tessaline::Resources
