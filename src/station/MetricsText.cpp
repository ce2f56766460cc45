#include "station/MetricsText.h"

#include <cmath>

void MetricsText::family(QByteArrayView name, QByteArrayView type, QByteArrayView help)
{
    m_text += "# HELP ";
    m_text += name;
    m_text += ' ';
    m_text += help;
    m_text += "\n# TYPE ";
    m_text += name;
    m_text += ' ';
    m_text += type;
    m_text += '\n';
}

void MetricsText::sample(QByteArrayView name, double value, std::initializer_list<Label> labels)
{
    m_text += name;
    if (labels.size() > 0) {
        m_text += '{';
        bool first = true;
        for (const auto& [label, text] : labels) {
            if (!first)
                m_text += ',';
            first = false;
            m_text += label;
            m_text += "=\"";
            appendEscaped(m_text, text);
            m_text += '"';
        }
        m_text += '}';
    }
    m_text += ' ';
    if (std::isinf(value))
        m_text += value > 0 ? "+Inf" : "-Inf";
    else if (value == std::floor(value) && std::fabs(value) < 1e15)
        m_text += QByteArray::number(qint64(value));
    else
        m_text += QByteArray::number(value, 'g', 17);
    m_text += '\n';
}

void MetricsText::appendEscaped(QByteArray& out, const QString& value)
{
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}
