// The stand-in in an OLE container of our own: siting, extent, in-place activation, drawing
// and saved state. The call log of a lifecycle is checked as the program drives it, in
// tests/app/host/ContainerTests.cpp.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "StandInClient.h"
#include "support/StandInScript.h"

using namespace standin_test;

namespace {

constexpr RECT Position{24, 16, 369, 89};

// Paints into a 32-bit DIB filled with a marker colour and reads the pixels back.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), dc_(CreateCompatibleDC(nullptr)) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        std::fill_n(bits_, width * height, Marker);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    static constexpr DWORD Marker = 0x00123456;
    HDC dc() const { return dc_; }
    DWORD At(int x, int y) const {
        GdiFlush();
        return bits_[y * width_ + x] & 0x00FFFFFF;
    }
    // How many pixels of each colour the rectangle holds.
    std::map<DWORD, int> Colours(const RECT& r) const {
        std::map<DWORD, int> colours;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) ++colours[At(x, y)];
        return colours;
    }

private:
    int width_;
    int height_;
    HDC dc_;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};

DWORD DibColour(int sysColour) {
    const COLORREF c = GetSysColor(sysColour);
    return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
}

// A face is the button colour with text in it: mostly background, some text pixels.
void ExpectFace(const Canvas& canvas, const RECT& r) {
    const std::map<DWORD, int> colours = canvas.Colours(r);
    EXPECT_EQ(colours.count(Canvas::Marker), 0u) << "pixels left unpainted";
    EXPECT_GT(colours.count(DibColour(COLOR_BTNFACE)), 0u);
    EXPECT_GE(colours.size(), 2u) << "no text drawn";
}

// A property bag over a map, the way a form file hands properties over.
class MapBag final : public IPropertyBag {
public:
    std::map<std::wstring, std::wstring> text;  // read as VT_BSTR
    std::map<std::wstring, LONG> written;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
            *ppv = static_cast<IPropertyBag*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        const auto it = text.find(name);
        if (it == text.end()) return E_INVALIDARG;
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = SysAllocString(it->second.c_str());
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        if (V_VT(value) != VT_I4) return E_INVALIDARG;
        written[name] = V_I4(value);
        return S_OK;
    }
};

SIZEL ExtentOf(IOleObject* object) {
    SIZEL size{};
    EXPECT_EQ(object->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    return size;
}

}  // namespace

TEST(StandInContainer, InPlaceActivationMakesTheWindowAndDeactivationTakesItAway) {
    OleApartment ole;
    const ScopedCallLog log;
    ContainerWindow container;
    TestSite site(container.get(), Position);
    {
        const com_ptr<IDispatch> control = CreateStandIn();
        ASSERT_TRUE(control);
        const com_ptr<IOleObject> object = control.try_query<IOleObject>();
        const com_ptr<IOleInPlaceObject> inPlace = control.try_query<IOleInPlaceObject>();

        ASSERT_EQ(object->SetClientSite(&site), S_OK);
        ASSERT_EQ(control.try_query<IPersistPropertyBag>()->InitNew(), S_OK);
        SIZEL extent{9128, 1931};
        ASSERT_EQ(object->SetExtent(DVASPECT_CONTENT, &extent), S_OK);
        EXPECT_EQ(ExtentOf(object.get()).cx, 9128);
        EXPECT_EQ(ExtentOf(object.get()).cy, 1931);

        HWND none = reinterpret_cast<HWND>(1);
        EXPECT_EQ(inPlace->GetWindow(&none), E_FAIL);
        EXPECT_EQ(none, nullptr);

        ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.get(), &Position), S_OK);
        EXPECT_EQ(site.calls, (std::vector<std::string>{"CanInPlaceActivate", "OnInPlaceActivate", "GetWindow",
                                                        "GetWindowContext"}));
        HWND window = nullptr;
        ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
        ASSERT_TRUE(IsWindow(window));
        EXPECT_EQ(GetParent(window), container.get());
        EXPECT_EQ(container.Children(), std::vector<HWND>{window});
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_EQ(RectInParent(window), Position);
        {
            Canvas canvas(Position.right - Position.left, Position.bottom - Position.top);
            SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc()), PRF_CLIENT);
            ExpectFace(canvas, RECT{0, 0, Position.right - Position.left, Position.bottom - Position.top});
        }

        // Activating what is active makes no second window.
        EXPECT_EQ(object->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, container.get(), &Position), S_OK);
        EXPECT_EQ(container.Children().size(), 1u);

        const RECT moved{40, 30, 200, 60};
        EXPECT_EQ(inPlace->SetObjectRects(&moved, &moved), S_OK);
        EXPECT_EQ(RectInParent(window), moved);
        // Logged as the program's tests would see it; the program moves it only when asked.
        EXPECT_EQ(log.Lines().back(), "rects left=40 top=30 right=200 bottom=60");

        site.calls.clear();
        EXPECT_EQ(inPlace->InPlaceDeactivate(), S_OK);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_TRUE(container.Children().empty());
        EXPECT_EQ(site.calls, std::vector<std::string>{"OnInPlaceDeactivate"});
        EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL);

        // Activated again through the client site, then closed without saving.
        site.calls.clear();
        EXPECT_EQ(object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, nullptr, 0, container.get(), &Position), S_OK);
        EXPECT_EQ(container.Children().size(), 1u);
        EXPECT_EQ(Reply(control.get(), 0x60030002, DISPATCH_PROPERTYGET).hr, S_OK);
        EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
        EXPECT_TRUE(container.Children().empty());
        EXPECT_EQ(site.calls.back(), "OnInPlaceDeactivate");
        EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    }
    // The control gave back every reference to the site it took.
    EXPECT_EQ(site.references, 0);
}

TEST(StandInContainer, RepeatedActivationAndRefusedActivationLeaveNoWindows) {
    OleApartment ole;
    ContainerWindow container;
    TestSite site(container.get(), Position);
    {
        const com_ptr<IDispatch> control = CreateStandIn();
        const com_ptr<IOleObject> object = control.try_query<IOleObject>();
        ASSERT_EQ(object->SetClientSite(&site), S_OK);
        for (int i = 0; i < 25; ++i) {
            ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.get(), &Position), S_OK);
            ASSERT_EQ(container.Children().size(), 1u);
            ASSERT_EQ(control.try_query<IOleInPlaceObject>()->InPlaceDeactivate(), S_OK);
            ASSERT_TRUE(container.Children().empty());
        }

        site.calls.clear();
        site.canActivate = S_FALSE;
        EXPECT_TRUE(FAILED(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.get(), &Position)));
        EXPECT_EQ(site.calls, std::vector<std::string>{"CanInPlaceActivate"});
        EXPECT_TRUE(container.Children().empty());

        // The site said yes and then could not give its window context: it hears it is over.
        site.calls.clear();
        site.canActivate = S_OK;
        site.windowContext = E_FAIL;
        EXPECT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.get(), &Position), E_FAIL);
        EXPECT_EQ(site.calls.back(), "OnInPlaceDeactivate");
        EXPECT_TRUE(container.Children().empty());
        EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
        EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    }
    EXPECT_EQ(site.references, 0);

    // No site at all: nothing to activate in.
    const com_ptr<IDispatch> bare = CreateStandIn();
    EXPECT_EQ(
        bare.try_query<IOleObject>()->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, container.get(), &Position),
        E_UNEXPECTED);
    EXPECT_TRUE(container.Children().empty());

    // Released while in place: the window goes with the control.
    TestSite other(container.get(), Position);
    {
        const com_ptr<IDispatch> control = CreateStandIn();
        ASSERT_EQ(control.try_query<IOleObject>()->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &other, 0, container.get(),
                                                          &Position),
                  S_OK);
        EXPECT_EQ(container.Children().size(), 1u);
    }
    EXPECT_TRUE(container.Children().empty());
    EXPECT_EQ(other.references, 0);
}

TEST(StandInView, DrawPaintsTheFaceInsideTheBoundsOnly) {
    OleApartment ole;
    const com_ptr<IDispatch> control = CreateStandIn();
    const com_ptr<IViewObject2> view = control.try_query<IViewObject2>();
    ASSERT_TRUE(view);
    Canvas canvas(300, 100);
    const RECTL bounds{10, 20, 250, 70};
    ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc(), &bounds, nullptr, nullptr, 0),
              S_OK);
    ExpectFace(canvas, RECT{10, 20, 250, 70});
    EXPECT_EQ(canvas.At(9, 20), Canvas::Marker);
    EXPECT_EQ(canvas.At(250, 69), Canvas::Marker);
    EXPECT_EQ(canvas.At(10, 70), Canvas::Marker);
    EXPECT_EQ(canvas.At(299, 0), Canvas::Marker);

    EXPECT_EQ(view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, canvas.dc(), &bounds, nullptr, nullptr, 0),
              DV_E_DVASPECT);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc(), nullptr, nullptr, nullptr, 0),
              E_INVALIDARG);

    // Both extents are the one the object holds.
    SIZEL fromView{};
    EXPECT_EQ(view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &fromView), S_OK);
    const SIZEL fromObject = ExtentOf(control.try_query<IOleObject>().get());
    EXPECT_EQ(fromView.cx, fromObject.cx);
    EXPECT_EQ(fromView.cy, fromObject.cy);
    EXPECT_GT(fromView.cx, 0);
    EXPECT_GT(fromView.cy, 0);
}

TEST(StandInPersistence, ExtentComesFromPropertyBagsAndSurvivesStreams) {
    OleApartment ole;
    const ScopedCallLog log;
    const com_ptr<IDispatch> control = CreateStandIn();
    const com_ptr<IOleObject> object = control.try_query<IOleObject>();
    const com_ptr<IPersistPropertyBag> bagPersist = control.try_query<IPersistPropertyBag>();
    const SIZEL initial = ExtentOf(object.get());

    // Nothing usable in the bag: the extent stays and nothing is logged.
    MapBag odd;
    odd.text = {{L"_ExtentX", L"wide"}, {L"_ExtentY", L"-5"}};
    EXPECT_EQ(bagPersist->Load(&odd, nullptr), S_OK);
    EXPECT_EQ(ExtentOf(object.get()).cx, initial.cx);
    EXPECT_EQ(ExtentOf(object.get()).cy, initial.cy);
    MapBag empty;
    EXPECT_EQ(bagPersist->Load(&empty, nullptr), S_OK);

    MapBag form;
    form.text = {{L"_ExtentX", L"9128"}, {L"_ExtentY", L"1931"}};
    EXPECT_EQ(bagPersist->Load(&form, nullptr), S_OK);
    EXPECT_EQ(ExtentOf(object.get()).cx, 9128);
    EXPECT_EQ(ExtentOf(object.get()).cy, 1931);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"propbag cx=9128 cy=1931"});

    MapBag saved;
    EXPECT_EQ(bagPersist->Save(&saved, TRUE, TRUE), S_OK);
    EXPECT_EQ(saved.written, (std::map<std::wstring, LONG>{{L"_ExtentX", 9128}, {L"_ExtentY", 1931}}));

    // Saved to a stream and loaded into a new control.
    com_ptr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    const com_ptr<IPersistStreamInit> streamPersist = control.try_query<IPersistStreamInit>();
    ULARGE_INTEGER size{};
    EXPECT_EQ(streamPersist->GetSizeMax(&size), S_OK);
    EXPECT_EQ(streamPersist->Save(stream.get(), TRUE), S_OK);
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    EXPECT_EQ(stat.cbSize.QuadPart, size.QuadPart);
    const LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    const com_ptr<IDispatch> copy = CreateStandIn();
    EXPECT_EQ(copy.try_query<IPersistStreamInit>()->Load(stream.get()), S_OK);
    EXPECT_EQ(ExtentOf(copy.try_query<IOleObject>().get()).cx, 9128);
    EXPECT_EQ(ExtentOf(copy.try_query<IOleObject>().get()).cy, 1931);

    // A stream that is not ours, or ends early, is refused and changes nothing.
    const com_ptr<IDispatch> third = CreateStandIn();
    const SIZEL before = ExtentOf(third.try_query<IOleObject>().get());
    for (const ULONG length : {0ul, 7ul, 16ul}) {
        com_ptr<IStream> junk;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, junk.put()), S_OK);
        const char bytes[16] = "not a saved one";
        junk->Write(bytes, length, nullptr);
        junk->Seek(start, STREAM_SEEK_SET, nullptr);
        EXPECT_EQ(third.try_query<IPersistStreamInit>()->Load(junk.get()), E_FAIL) << length;
    }
    EXPECT_EQ(ExtentOf(third.try_query<IOleObject>().get()).cx, before.cx);
    EXPECT_EQ(ExtentOf(third.try_query<IOleObject>().get()).cy, before.cy);
}
