// The plain constructor stands apart because it alone needs makeDefaultPlayer(): the program
// gets it from the real player, tests from their fake.
#include "TrimwellModel.h"

namespace trimwell {

TrimwellModel::TrimwellModel() : TrimwellModel(makeDefaultPlayer()) {}

} // namespace trimwell
