// The HTML page classes: a response before any answer, the resource list
// read by kind and by position, parameters copied (not shared) and a page
// destroyed through its base.
#include <gtest/gtest.h>

#include <memory>

#include "protocols/html_page.h"

TEST(HtmlPage, ResponseBeforeAnyAnswer) {
    HtmlPageResponse r;
    EXPECT_EQ(r.getResult(), -98);
    EXPECT_EQ(r.getSelection(), -1);
    EXPECT_EQ(r.setResult(-4), -4);
    EXPECT_EQ(r.setSelection(3), 3);
    EXPECT_EQ(r.getResult(), -4);
    EXPECT_EQ(r.getSelection(), 3);
    EXPECT_EQ(r.params().size(), 0u);
}

TEST(HtmlPage, ResourceListByKindAndPosition) {
    HtmlResourceList list;
    list.add(1, "talvo/xxdmess.html");
    list.add(2, "logo.bmp");
    list.add(1, "talvo/style.css");
    EXPECT_EQ(list.countKind(1), 2);
    EXPECT_EQ(list.countKind(2), 1);
    EXPECT_EQ(list.countKind(7), 0);
    EXPECT_EQ(list.at(1), "talvo/xxdmess.html");
    EXPECT_EQ(list.at(3), "talvo/style.css");
    EXPECT_EQ(list.at(4), "");
    EXPECT_EQ(list.at(0), "");
    EXPECT_EQ(list.at(-1), "");

    HtmlResourceList two;
    two.add(1, "a");
    two.add(1, "b");
    EXPECT_EQ(two.at(3), "");
}

TEST(HtmlPage, RequestKeepsItsOwnCopyOfTheParameters) {
    HtmlParamList params;
    params.add("type_mess", "OK");
    params.add("message", "Paiement accepte");
    HtmlPageRequest request("talvo/xxdmess.html", params);
    params.add("late", "x");  // after the request was built
    EXPECT_EQ(request.getPageName(), "talvo/xxdmess.html");
    HtmlParamList got = request.getParams();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got.items()[0], (std::pair<std::string, std::string>("type_mess", "OK")));
    EXPECT_EQ(got.items()[1], (std::pair<std::string, std::string>("message", "Paiement accepte")));
    got.add("more", "y");  // a copy: the request does not change
    EXPECT_EQ(request.getParams().size(), 2u);

    // Setting a page's own list keeps it; another list replaces it.
    request.setParams(request.params());
    EXPECT_EQ(request.getParams().size(), 2u);
    request.setParams(params);
    EXPECT_EQ(request.getParams().size(), 3u);
    EXPECT_EQ(request.getParams().items()[2].first, "late");
}

namespace {
// A page whose own destructor tells that it ran.
class CountedPage : public HtmlPageRequest {
public:
    CountedPage(int* destroyed) : HtmlPageRequest("p.html", HtmlParamList{}), destroyed_(destroyed) {}
    ~CountedPage() override { ++*destroyed_; }

private:
    int* destroyed_;
};
}  // namespace

TEST(HtmlPage, DestroyedThroughItsBase) {
    // The whole object goes (under AddressSanitizer its lists would show
    // as leaks otherwise).
    int destroyed = 0;
    std::unique_ptr<HtmlPageBase> page = std::make_unique<CountedPage>(&destroyed);
    page->params().add("a", std::string(200, 'v'));
    page->resources().add(1, std::string(200, 'r'));
    page.reset();
    EXPECT_EQ(destroyed, 1);
}
