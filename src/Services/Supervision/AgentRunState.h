#pragma once

#include <QObject>
#include <QString>

// Run state of the agent: stopped, starting, running, stopping (waiting for it to end), or failed with a
// message shown to the user as is.
class AgentRunState {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind CONSTANT)
    Q_PROPERTY(QString message READ message CONSTANT)

public:
    enum class Kind { stopped, starting, running, stopping, failed };
    Q_ENUM(Kind)

    AgentRunState() = default;
    static AgentRunState stopped() { return AgentRunState(Kind::stopped); }
    static AgentRunState starting() { return AgentRunState(Kind::starting); }
    static AgentRunState running() { return AgentRunState(Kind::running); }
    static AgentRunState stopping() { return AgentRunState(Kind::stopping); }
    static AgentRunState failed(const QString &message) { return AgentRunState(Kind::failed, message); }

    Kind kind() const { return m_kind; }
    // Empty unless failed.
    QString message() const { return m_message; }
    bool isFailed() const { return m_kind == Kind::failed; }

    // Same case, and for failed the same message.
    bool operator==(const AgentRunState &) const = default;

private:
    explicit AgentRunState(Kind kind, QString message = {}) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind = Kind::stopped;
    QString m_message;
};
