#pragma once
// Our skin component: loads a skin file (a Qt style sheet) and applies it to
// a window given by its handle.
#include <QObject>
#include <QString>

namespace orvane {

class SkinFramework : public QObject {
    Q_OBJECT
public:
    explicit SkinFramework(QObject* parent = nullptr) : QObject(parent) {}

    void LoadSkin(const QString& path, const QString& ini);
    int Options() const { return options_; }
    void setOptions(int options) { options_ = options; }
    void setApplyColors(bool on) { applyColors_ = on; }
    void setApplyMetrics(bool on) { applyMetrics_ = on; }
    void ApplyWindow(qint32 window);

private:
    QString styleSheet_;
    int options_ = 0;
    bool applyColors_ = false;
    bool applyMetrics_ = false;
};

} // namespace orvane
