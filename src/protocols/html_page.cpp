// HTML page classes.
#include "protocols/html_page.h"

int HtmlResourceList::countKind(int32_t kind) const {
    int n = 0;
    for (const auto& e : entries_)
        if (e.first == kind) ++n;
    return n;
}

std::string HtmlResourceList::at(int n) const {
    if (n < 1 || static_cast<size_t>(n) > entries_.size()) return {};
    return entries_[static_cast<size_t>(n) - 1].second;
}

void HtmlPageBase::setParams(const HtmlParamList& list) {
    if (&list == &params_) return;
    params_ = list.copy();
}

HtmlPageRequest::HtmlPageRequest(const std::string& pageName, const HtmlParamList& params) : pageName_(pageName) {
    setParams(params);
}
