#include "station/RouteTable.h"

RouteTable::RouteTable(QList<Route> routes)
{
    for (Route& route : routes) {
        const QStringList segments = segmentsOf(route.pattern);
        m_rows.append({std::move(route), segments});
    }
}

QStringList RouteTable::segmentsOf(const QString& path)
{
    QStringList segments = path.mid(path.startsWith(u'/') ? 1 : 0).split(u'/');
    for (qsizetype i = segments.size() - 1; i > 0; --i)
        if (segments.at(i).isEmpty())
            segments.removeAt(i);
    return segments;
}

bool RouteTable::matches(const QStringList& pattern, const QStringList& segments, Arguments* arguments)
{
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QString& part = pattern.at(i);
        const bool variable = part.startsWith(u'{') && part.endsWith(u'}');
        if (variable && part.endsWith(QLatin1String("...}")) && i == pattern.size() - 1) {
            arguments->insert(part.mid(1, part.size() - 5), segments.mid(i).join(u'/'));
            return true;
        }
        if (i >= segments.size())
            return false;
        if (variable)
            arguments->insert(part.mid(1, part.size() - 2), segments.at(i));
        else if (part != segments.at(i))
            return false;
    }
    return pattern.size() == segments.size();
}

RouteTable::Match RouteTable::find(const QByteArray& method, const QString& path) const
{
    const QStringList segments = segmentsOf(path);
    Match match;
    const QString* pattern = nullptr;
    const Route* exact = nullptr;
    const Route* get = nullptr;
    for (const Row& row : m_rows) {
        if (!pattern) {
            if (!matches(row.segments, segments, &match.arguments)) {
                match.arguments.clear();
                continue;
            }
            pattern = &row.route.pattern;
        } else if (row.route.pattern != *pattern) {
            continue;
        }
        for (const QByteArray& name : row.route.methods) {
            if (!exact && (name == AnyMethod || name == method))
                exact = &row.route;
            if (!get && name == "GET")
                get = &row.route;
            if (name != AnyMethod)
                match.allowed += (match.allowed.isEmpty() ? "" : ", ") + name;
        }
    }
    match.route = exact ? exact : method == "HEAD" ? get : nullptr;
    return match;
}

QByteArray RouteTable::allMethods() const
{
    QList<QByteArray> names;
    for (const Row& row : m_rows)
        for (const QByteArray& name : row.route.methods)
            if (name != AnyMethod && !names.contains(name))
                names.append(name);
    return names.join(", ");
}
