#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

namespace zorvane {

// What the interface shows about the filter. Only `failed` carries a text: the message for the
// user. Two failures are equal when their texts are.
class FilterStatus {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind CONSTANT)
    Q_PROPERTY(QString message READ message CONSTANT)

public:
    enum class Kind {
        failed,
        inactive,
        installationRequired,
        activating,
        awaitingApproval,
        enabled
    };
    Q_ENUM(Kind)

    FilterStatus() = default;

    static FilterStatus failed(QString message) { return {Kind::failed, std::move(message)}; }
    static FilterStatus inactive() { return {Kind::inactive, {}}; }
    static FilterStatus installationRequired() { return {Kind::installationRequired, {}}; }
    static FilterStatus activating() { return {Kind::activating, {}}; }
    static FilterStatus awaitingApproval() { return {Kind::awaitingApproval, {}}; }
    static FilterStatus enabled() { return {Kind::enabled, {}}; }

    Kind kind() const { return kind_; }
    // Empty unless the kind is failed.
    const QString& message() const { return message_; }

    friend bool operator==(const FilterStatus&, const FilterStatus&) = default;

private:
    FilterStatus(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::inactive;
    QString message_;
};

} // namespace zorvane

Q_DECLARE_METATYPE(zorvane::FilterStatus)
