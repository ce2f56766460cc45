#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <initializer_list>
#include <utility>

// Prometheus's text exposition format (version 0.0.4): each family's HELP and TYPE lines, then
// its samples.
class MetricsText
{
public:
    using Label = std::pair<QByteArrayView, QString>;

    static constexpr QByteArrayView ContentType = "text/plain; version=0.0.4; charset=utf-8";

    void family(QByteArrayView name, QByteArrayView type, QByteArrayView help);
    void sample(QByteArrayView name, double value, std::initializer_list<Label> labels = {});

    const QByteArray& text() const { return m_text; }

private:
    static void appendEscaped(QByteArray& out, const QString& value);

    QByteArray m_text;
};
