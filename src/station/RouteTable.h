#pragma once

#include "station/Access.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class HttpExchange;

// Which handler answers a request: rows of methods, a path pattern and the handler, looked up in
// their order. A pattern is literal segments, "{name}" for any one segment (the handler gets it
// by that name) and at its end "{name...}" for whatever follows, none included. A path belongs to
// the first pattern that matches it, and the rows with that pattern are all the methods it takes:
// another method gets the list of those for its Allow header. A HEAD request goes to the path's
// GET row when no row of the path names HEAD.
//
// Empty segments after the first are skipped ("/api//v1/runs/" is "/api/v1/runs"); the first is
// taken as it is, so "//api/v1/runs" matches no pattern that starts with "api".
class RouteTable
{
public:
    using Arguments = QHash<QString, QString>;
    using Handler = std::function<void(HttpExchange&, const Arguments&)>;
    // As a row's only method: the row takes every method.
    static constexpr const char* AnyMethod = "*";

    struct Route
    {
        QList<QByteArray> methods;
        QString pattern;
        Handler handler;
        Access access = Access::Read; // what the request's token must allow
    };

    struct Match
    {
        const Route* route = nullptr; // nullptr: the path takes other methods, or no row has it
        Arguments arguments;
        QByteArray allowed; // the path's methods, "GET, HEAD, POST"; empty when no row has it
    };

    explicit RouteTable(QList<Route> routes);

    Match find(const QByteArray& method, const QString& path) const;
    // Every method a row names, in the order they first come: "GET, HEAD, POST, DELETE".
    QByteArray allMethods() const;

private:
    struct Row
    {
        Route route;
        QStringList segments;
    };

    static QStringList segmentsOf(const QString& path);
    static bool matches(const QStringList& pattern, const QStringList& segments, Arguments* arguments);

    QList<Row> m_rows;
};
