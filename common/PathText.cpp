#include "common/PathText.h"

QString AddPathSeparator(const QString& path)
{
    qsizetype end = path.size();
    while (end > 0 && path.at(end - 1) == u' ')
        --end;
    QString result = path.left(end);
    if (!result.endsWith(u'/'))
        result += u'/';
    return result;
}

QString TrimAtNull(const QString& text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

QString FileNameOfPath(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? QString() : path.mid(slash + 1);
}

QString JoinPath(const QString& folder, const QString& name)
{
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}
