#include "EnableGroupControls.h"

#include "ViewWrites.h"

#include <QGroupBox>

void EnableGroupControls(QGroupBox* group, bool enabled) {
    ViewWrites::SetEnabled(group, enabled);
    const auto children = group->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* child : children)
        ViewWrites::SetEnabled(child, enabled);
}
