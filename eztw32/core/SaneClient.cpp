#include "SaneClient.h"

#include "SaneThread.h"
#include "Session.h"

#include "replace/UniqueFd.h"

#include <fcntl.h>

#include <utility>

namespace eztw32 {

using replace::UniqueFd;

SaneClient::SaneClient(QObject* parent)
    : QObject(parent)
    , session_(std::make_shared<ScanSession>())
    , alive_(std::make_shared<bool>(true))
{
    prepareGuiCalls();
}

SaneClient::~SaneClient()
{
    *alive_ = false;
}

void SaneClient::search()
{
    startSearch();
}

void SaneClient::whenSearchChanges()
{
    eztw32::whenSearchChanges(alive_, [this] { Q_EMIT searchChanged(); });
}

SearchResult SaneClient::lastSearch() const
{
    return searchResult();
}

void SaneClient::open(const std::optional<DeviceInfo>& wanted, RememberedOptions remembered)
{
    postToSaneThread([session = session_, alive = alive_, wanted, remembered = std::move(remembered), this] {
        OpenOutcome out = session->open(wanted, remembered);
        postToGui(alive, [this, out = std::move(out)] { Q_EMIT opened(out); });
    });
}

void SaneClient::reopen(const DeviceInfo& device, RememberedOptions remembered)
{
    postToSaneThread([session = session_, alive = alive_, device, remembered = std::move(remembered), this] {
        session->close();
        OpenOutcome out = session->open(device, remembered);
        postToGui(alive, [this, out = std::move(out)] { Q_EMIT opened(out); });
    });
}

void SaneClient::abandonOpening()
{
    session_->abandonOpening();
}

void SaneClient::set(const OptionSetting& setting)
{
    postToSaneThread([session = session_, alive = alive_, setting, this] {
        SetOutcome out = session->set(setting);
        postToGui(alive, [this, name = setting.first, out = std::move(out)] { Q_EMIT optionSet(name, out); });
    });
}

void SaneClient::restoreDefaults()
{
    postToSaneThread([session = session_, alive = alive_, this] {
        SetOutcome out = session->restoreDefaults();
        postToGui(alive, [this, out = std::move(out)] { Q_EMIT defaultsRestored(out); });
    });
}

void SaneClient::preview(const ScanSettings& settings, std::shared_ptr<PreviewBuffer> buffer)
{
    session_->beginRun();
    postToSaneThread([session = session_, alive = alive_, settings, buffer = std::move(buffer), this] {
        const ScanResult r = session->preview(settings, *buffer);
        std::vector<OptionInfo> options = session->options();
        postToGui(alive, [this, r, options = std::move(options)] { Q_EMIT previewEnded(r, options); });
    });
}

void SaneClient::readSize(const ScanSettings& settings)
{
    postToSaneThread([session = session_, alive = alive_, settings, this] {
        const SizeOutcome out = session->size(settings);
        postToGui(alive, [this, out] { Q_EMIT sizeRead(out); });
    });
}

void SaneClient::scan(const ScanSettings& settings, int fd)
{
    session_->beginRun();
    // The scan writes through a descriptor of its own: a caller that stops
    // waiting (a cancel the driver does not heed) may close its file before
    // the scan has ended.
    auto own = std::make_shared<UniqueFd>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!*own) {
        postToGui(alive_, [this] {
            Q_EMIT scanEnded({Outcome::WriteFailed, Fault::None, Status::Good, {}});
        });
        return;
    }
    postToSaneThread([session = session_, alive = alive_, settings, own, this] {
        const ScanResult r = session->scan(settings, own->get());
        own->reset();
        session->close();
        postToGui(alive, [this, r] { Q_EMIT scanEnded(r); });
    });
}

void SaneClient::close()
{
    postToSaneThread([session = session_] { session->close(); });
}

void SaneClient::cancel()
{
    session_->requestCancel();
}

SessionState SaneClient::state() const
{
    return session_->state();
}

const ScanProgress& SaneClient::progress() const
{
    return session_->progress();
}

} // namespace eztw32
