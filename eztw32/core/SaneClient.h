// The GUI thread's one way to the SANE thread. Requests go in as calls and
// are queued for the SANE thread, one after the other; what comes of them
// comes back as signals on the GUI thread, and only while this object
// lives. Everything here is for the GUI thread, except that progress() may
// be read anywhere.
#pragma once

#include "DeviceInfo.h"
#include "OptionInfo.h"
#include "Outcomes.h"
#include "ScanProgress.h"
#include "ScanSettings.h"
#include "Search.h"
#include "SessionState.h"
#include "Settings.h"

#include <QObject>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

class ScanSession;

class SaneClient : public QObject {
    Q_OBJECT
public:
    explicit SaneClient(QObject* parent = nullptr);
    // Anything still queued runs to its end; its outcome is not told.
    ~SaneClient() override;

    // The device search: a new one, unless one is under way.
    void search();
    // Tells searchChanged() when the search under way has news (a backend
    // answered) or ends, at once when none is under way.
    void whenSearchChanges();
    SearchResult lastSearch() const;

    // The scan session. Opening: the wanted device, else the first found;
    // the user's own settings of the device opened, where `remembered` has
    // them, are set on it. Ends with opened().
    void open(const std::optional<DeviceInfo>& wanted, RememberedOptions remembered);
    // Closes the device, then opens `device` as open() does.
    void reopen(const DeviceInfo& device, RememberedOptions remembered);
    // Stops an opening under way (it ends as it would, but nobody waits).
    void abandonOpening();
    void set(const OptionSetting& setting); // ends with optionSet()
    void restoreDefaults(); // ends with defaultsRestored()
    // A preview into `buffer` (copied out as it fills); ends with
    // previewEnded().
    void preview(const ScanSettings& settings, std::shared_ptr<PreviewBuffer> buffer);
    // The picture size the device reports for `settings`; ends with
    // sizeRead().
    void readSize(const ScanSettings& settings);
    // The scan into the open file `fd`, then the device closed; ends with
    // scanEnded().
    void scan(const ScanSettings& settings, int fd);
    void close();
    // Asks a running preview or scan to stop; a device that does not heed
    // it soon gets SANE's own cancel.
    void cancel();

    SessionState state() const;
    const ScanProgress& progress() const;

Q_SIGNALS:
    void searchChanged();
    void opened(const eztw32::OpenOutcome& outcome);
    void optionSet(const std::string& name, const eztw32::SetOutcome& outcome);
    void defaultsRestored(const eztw32::SetOutcome& outcome);
    void previewEnded(const eztw32::ScanResult& result, const std::vector<eztw32::OptionInfo>& options);
    void sizeRead(const eztw32::SizeOutcome& outcome);
    void scanEnded(const eztw32::ScanResult& result);

private:
    std::shared_ptr<ScanSession> session_;
    std::shared_ptr<bool> alive_;
};

} // namespace eztw32
