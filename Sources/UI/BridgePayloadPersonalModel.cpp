#include "UI/BridgePayload.h"

namespace BridgePayload {

// The page prints the lines as they are, so the hub and the command line's
// report can never disagree about the model.
json personalModelPayload(const PersonalModel::Status& status) {
    return json{{"enabled", status.enabled},
                {"attached", PersonalModel::isAttachable(status)},
                {"lines", PersonalModel::statusLines(status)}};
}

}  // namespace BridgePayload
