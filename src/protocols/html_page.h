// HTML pages of the terminal: a page display is described by an
// HtmlPageRequest (the page's name under "www/" and its named parameters)
// and answered into an HtmlPageResponse (result, selection and the
// parameters the terminal returned). The RUDA module builds the page request
// and decodes its answer; the page services and the message pages use them.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Entries (kind, text); kind 1 marks a file that must exist on the terminal
// as "www/" followed by the text.
class HtmlResourceList {
public:
    void add(int32_t kind, const std::string& text) { entries_.emplace_back(kind, text); }
    int countKind(int32_t kind) const;
    // Text of the n-th entry (1-based); empty when there is none.
    std::string at(int n) const;
    size_t size() const { return entries_.size(); }

private:
    std::vector<std::pair<int32_t, std::string>> entries_;
};

// (name, value) pairs in the order they were added.
class HtmlParamList {
public:
    void add(const std::string& name, const std::string& value) { items_.emplace_back(name, value); }
    HtmlParamList copy() const { return *this; }
    const std::vector<std::pair<std::string, std::string>>& items() const { return items_; }
    size_t size() const { return items_.size(); }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

class HtmlPageBase {
public:
    virtual ~HtmlPageBase() = default;
    // Replaces the parameters by a copy of the list (nothing for the page's
    // own list).
    void setParams(const HtmlParamList& list);
    const HtmlParamList& params() const { return params_; }
    HtmlParamList& params() { return params_; }
    const HtmlResourceList& resources() const { return resources_; }
    HtmlResourceList& resources() { return resources_; }

private:
    HtmlResourceList resources_;
    HtmlParamList params_;
};

class HtmlPageRequest : public HtmlPageBase {
public:
    HtmlPageRequest(const std::string& pageName, const HtmlParamList& params);
    std::string getPageName() const { return pageName_; }
    HtmlParamList getParams() const { return params().copy(); }

private:
    std::string pageName_;
};

// Results written by the module: 1 done, -1 cancelled on the terminal, -97
// no selection in the answer, -99 other refusal; -4 when a file the page
// needs is missing; -98 until an answer came.
class HtmlPageResponse : public HtmlPageBase {
public:
    HtmlPageResponse() = default;
    int32_t setResult(int32_t value) { return result_ = value; }
    int32_t setSelection(int32_t value) { return selection_ = value; }
    int32_t getResult() const { return result_; }
    int32_t getSelection() const { return selection_; }

private:
    int32_t result_ = -98;
    int32_t selection_ = -1;
};
