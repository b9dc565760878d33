#include "Learning/PersonalModel.h"

const char* PersonalModel::rawValue(RequestKind kind) {
    switch (kind) {
        case RequestKind::streamingBuffer: return "streaming buffer";
        case RequestKind::audioFile: return "audio file";
        case RequestKind::dictationTranscriber: return "dictation transcriber";
    }
    return "";
}

PersonalModel& PersonalModel::shared() {
    static PersonalModel* instance = new PersonalModel();
    return *instance;
}

std::optional<PersonalModel::Configuration> PersonalModel::preparedConfiguration(const std::string&) const {
    return std::nullopt;
}

void PersonalModel::recordAttachment(const std::string&, RequestKind) {}
