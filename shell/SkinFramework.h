#pragma once
// Our skin component. A skin file holds a Qt style sheet, optionally with a
// declared button-face colour (docs/skin.md describes the format). The main
// window drives the component through five members, identified by number:
//
//   2  LoadSkin(path, section)  loads the skin; `section` must be empty
//   1  Options                  option flags; bit 0 (ApplyRules) applies the
//                               style sheet's rules to the window
//   5  ApplyColors              the skin's face colour becomes the program's
//                               button-face colour
//   10 ApplyDialogs             the rules also reach every dialog and message
//                               box the program opens from then on
//   3  ApplyWindow(handle)      applies the loaded skin to the window
//
// ApplyWindow uses the flags and switches as they are when it is called.
// The skin stays in force while the component lives; destroying the
// component gives the program back the style's own button-face colour.
#include <QColor>
#include <QObject>
#include <QString>

#include <optional>

class QWidget;

namespace orvane {

class SkinFramework : public QObject {
    Q_OBJECT
public:
    enum Member {
        OptionsMember = 1,
        LoadSkinMember = 2,
        ApplyWindowMember = 3,
        ApplyColorsMember = 5,
        ApplyDialogsMember = 10,
    };
    enum OptionFlag { ApplyRules = 0x1 };

    explicit SkinFramework(QObject* parent = nullptr);
    ~SkinFramework() override;

    // Reads and checks the skin file. Raises AppError whose description
    // names the file and the problem; the previously loaded skin, if any,
    // is then kept.
    void LoadSkin(const QString& path, const QString& section);

    int Options() const { return options_; }
    void setOptions(int options) { options_ = options; }
    bool ApplyColors() const { return applyColors_; }
    void setApplyColors(bool on) { applyColors_ = on; }
    bool ApplyDialogs() const { return applyDialogs_; }
    void setApplyDialogs(bool on) { applyDialogs_ = on; }

    // Applies the loaded skin to the window with the given handle (see
    // windowHandleOf). Does nothing when no skin is loaded. Raises AppError
    // when no window has that handle.
    void ApplyWindow(qint32 window);

    bool isLoaded() const { return loaded_; }
    const QString& skinPath() const { return path_; }
    const QString& styleSheet() const { return styleSheet_; }
    const std::optional<QColor>& faceColour() const { return faceColour_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool loaded_ = false;
    QString path_;
    QString styleSheet_;
    std::optional<QColor> faceColour_;
    int options_ = 0;
    bool applyColors_ = false;
    bool applyDialogs_ = false;
    // The sheet with its images read (see SkinImages.h), as it is put in
    // force.
    std::optional<QString> sheetInForce_;
    // What this component has put in force.
    QString dialogSheet_;
    bool ownsFaceColour_ = false;
};

// The contents of a skin file once checked: the style sheet and the
// declared face colour. Raises AppError naming `path` and the problem.
struct SkinContents {
    QString styleSheet;
    std::optional<QColor> faceColour;
};
SkinContents parseSkin(const QByteArray& bytes, const QString& path);

// The largest skin file the component reads.
constexpr qint64 MaxSkinFileSize = 1024 * 1024;

// Window handles as the component takes them: a nonzero 32-bit number for
// each window, the same for the window's whole life and never reused.
qint32 windowHandleOf(QWidget* window);
// The living window with that handle, or nullptr.
QWidget* windowFromHandle(qint32 handle);

} // namespace orvane
