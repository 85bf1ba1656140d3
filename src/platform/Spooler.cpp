#include "platform/Spooler.h"

namespace platform {

const char* FetchResultText(FetchResult result) {
    switch (result) {
        case FetchResult::Ok:
            return "fetched";
        case FetchResult::NotPrinted:
            return "the job was cancelled or aborted";
        case FetchResult::Forbidden:
            return "the scheduler does not let this user read the job's document";
        case FetchResult::Gone:
            return "the scheduler no longer keeps the job's document";
        case FetchResult::TooLarge:
            return "the job's document is too large";
        case FetchResult::Unsupported:
            return "this spooler does not hand out documents";
        case FetchResult::Failed:
            break;
    }
    return "the scheduler did not hand out the job's document";
}

}  // namespace platform
