#pragma once

#include <QList>
#include <QString>

// An iOS version as its numbers: "10.3.1" gives 10, 3, 1.
struct _IOSVersion
{
    explicit _IOSVersion(const QString& text);

    // This minus other at the first component that differs; when one list is
    // a prefix of the other, the difference of their lengths.
    int compare(const _IOSVersion& other) const;
    QString toString() const;

    QList<int> parts;
};
