#include "agent/ui/SetupWizardModel.h"

#include <QPointer>

#include "agent/core/DeviceIdentifier.h"

namespace tessary {

namespace {

constexpr const char* kSubsystem = "app.brenmoor.tessary";

// Characters, not UTF-16 units: a digit outside the basic plane counts once.
qsizetype characterCount(const QString& text)
{
    return text.toUcs4().size();
}

}  // namespace

SetupWizardModel::SetupWizardModel(DeviceConfig& deviceConfig, std::shared_ptr<APIClient> apiClient,
                                   std::function<void()> onComplete, std::shared_ptr<MainQueue> mainQueue,
                                   std::shared_ptr<LogSink> logSink, UpdateLineModel* updateLine, QObject* parent)
    : QObject(parent), deviceConfig_(deviceConfig), apiClient_(std::move(apiClient)),
      onComplete_(std::move(onComplete)), mainQueue_(std::move(mainQueue)),
      logger_(std::move(logSink), kSubsystem, "app"), updateLine_(updateLine)
{
    updateLine_->setParent(this);
}

QString SetupWizardModel::filterCode(const QString& text)
{
    QString kept;
    int count = 0;
    for (const char32_t character : text.toUcs4()) {
        if (count == kCodeLength)
            break;
        if (QChar::isNumber(character)) {
            kept.append(QString::fromUcs4(&character, 1));
            ++count;
        }
    }
    return kept;
}

void SetupWizardModel::setCode(const QString& text)
{
    const auto filtered = filterCode(text);
    // A rejected edit is undone in the field too, so the view is told even when nothing changed.
    const bool changedValue = filtered != code_;
    code_ = filtered;
    emit codeChanged();
    if (changedValue)
        emit changed();
}

void SetupWizardModel::setShowingSetup(bool showing)
{
    if (showing == showingSetup_)
        return;
    showingSetup_ = showing;
    emit changed();
    if (showing)
        emit codeFocusRequested();
}

bool SetupWizardModel::canConnect() const
{
    return characterCount(code_) == kCodeLength && !isSubmitting_;
}

void SetupWizardModel::returnPressed()
{
    if (canConnect())
        submit();
}

void SetupWizardModel::submit()
{
    // One pairing at a time, whoever presses: the button, Return or a screen reader.
    if (isSubmitting_)
        return;
    logger_.info("SetupWizard: submit() called with code length %ld", {characterCount(code_)});
    isSubmitting_ = true;
    errorMessage_.clear();
    emit changed();

    // The exchange holds its own copies of what it needs: it completes even after the wizard is gone.
    mainQueue_->post([self = QPointer(this), code = code_.toStdString(), &deviceConfig = deviceConfig_,
                      apiClient = apiClient_, onComplete = onComplete_, logger = logger_] {
        logger.info("SetupWizard: calling useSetupCode API");
        const auto deviceId = DeviceIdentifier::loadOrCreate(deviceConfig);
        logger.info("SetupWizard: deviceId = %s", {deviceId});
        apiClient->useSetupCode(
            code, deviceId,
            [self, &deviceConfig, onComplete, logger](APIResult<UseSetupCodeResponse> result) {
                if (!result) {
                    logger.error("SetupWizard: API failed — %@", {result.error().asError()});
                    if (!self)
                        return;
                    self->errorMessage_ = QStringLiteral("Setup failed: ") +
                                          QString::fromStdString(result.error().description);
                    self->isSubmitting_ = false;
                    emit self->changed();
                    return;
                }
                const auto& response = result.value();
                logger.info("SetupWizard: API success — familyId=%s", {response.familyId});
                deviceConfig.save(response.token, "token");
                deviceConfig.save(response.familyId, "familyId");
                logger.info("SetupWizard: credentials saved to Keychain");
                logger.info("SetupWizard: calling onComplete()");
                onComplete();
                logger.info("SetupWizard: onComplete() returned");
            });
    });
}

}  // namespace tessary
