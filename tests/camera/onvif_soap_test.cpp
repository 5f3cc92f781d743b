// ONVIF answers as cameras spell them (other prefixes, default namespaces,
// SOAP 1.1 faults, extra profiles) and as attackers do (DTDs, entity bombs,
// deep nesting, truncation); the digest, the profile choice and the rule for
// addresses a camera reports.
#include <gtest/gtest.h>

#include <string>

#include "camera/onvif_soap.h"

namespace {

std::string envelope(const std::string& body)
{
    return "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
           "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:tt=\"http://www.onvif.org/ver10/schema\"><SOAP-ENV:Header/><SOAP-ENV:Body>" +
           body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

TEST(onvif_parse, clock_services_and_stream_address)
{
    onvif_answer_t a;
    ASSERT_TRUE(onvif_parse_answer(
        envelope("<GetSystemDateAndTimeResponse xmlns=\"http://www.onvif.org/ver10/device/wsdl\">"
                 "<SystemDateAndTime><tt:LocalDateTime><tt:Time><tt:Hour>1</tt:Hour></tt:Time>"
                 "</tt:LocalDateTime><tt:UTCDateTime><tt:Time><tt:Hour> 23 </tt:Hour><tt:Minute>"
                 "59</tt:Minute><tt:Second>58</tt:Second></tt:Time><tt:Date><tt:Year>2024</tt:Year>"
                 "<tt:Month>2</tt:Month><tt:Day>29</tt:Day></tt:Date></tt:UTCDateTime>"
                 "</SystemDateAndTime></GetSystemDateAndTimeResponse>"),
        &a));
    ASSERT_TRUE(a.has_time);
    EXPECT_EQ(onvif_time_text(a.utc_seconds), "2024-02-29T23:59:58Z");
    EXPECT_FALSE(a.fault);

    ASSERT_TRUE(onvif_parse_answer(
        envelope("<d:GetServicesResponse xmlns:d=\"x\"><d:Service><d:Namespace>"
                 "http://www.onvif.org/ver20/media/wsdl</d:Namespace><d:XAddr>"
                 "http://127.0.0.9/onvif/Media2</d:XAddr></d:Service><d:Service><d:Namespace>n"
                 "</d:Namespace></d:Service></d:GetServicesResponse>"),
        &a));
    ASSERT_EQ(a.services.size(), 1u);  // one without an address is no service
    EXPECT_EQ(a.services[0].name_space, onvif_media2_namespace);
    EXPECT_EQ(a.services[0].address, "http://127.0.0.9/onvif/Media2");
    EXPECT_FALSE(a.has_time);

    ASSERT_TRUE(onvif_parse_answer(
        envelope("<trt:GetStreamUriResponse xmlns:trt=\"m\"><trt:MediaUri><tt:Uri>"
                 "rtsp://127.0.0.9:554/Streaming/Channels/101?transportmode=unicast&amp;profile=P_1"
                 "</tt:Uri></trt:MediaUri></trt:GetStreamUriResponse>"),
        &a));
    EXPECT_EQ(a.stream_uri,
              "rtsp://127.0.0.9:554/Streaming/Channels/101?transportmode=unicast&profile=P_1");
}

TEST(onvif_parse, faults_of_both_soap_versions)
{
    onvif_answer_t a;
    ASSERT_TRUE(onvif_parse_answer(
        envelope("<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
                 "<SOAP-ENV:Subcode><SOAP-ENV:Value>ter:NotAuthorized</SOAP-ENV:Value>"
                 "</SOAP-ENV:Subcode></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text>Sender not "
                 "Authorized</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>"),
        &a));
    EXPECT_TRUE(a.fault);
    EXPECT_TRUE(a.not_authorized);
    EXPECT_EQ(a.fault_text, "Sender not Authorized");

    ASSERT_TRUE(onvif_parse_answer(
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring>Action not supported</faultstring>"
        "</s:Fault></s:Body></s:Envelope>",
        &a));
    EXPECT_TRUE(a.fault);
    EXPECT_FALSE(a.not_authorized);
    EXPECT_EQ(a.fault_text, "Action not supported");
}

TEST(onvif_parse, profiles_of_both_media_services)
{
    onvif_answer_t a;
    ASSERT_TRUE(onvif_parse_answer(
        envelope("<trt:GetProfilesResponse xmlns:trt=\"m\">"
                 "<trt:Profiles token=\"a&amp;b\"><tt:VideoSourceConfiguration><tt:SourceToken>"
                 "vs1</tt:SourceToken><tt:Bounds width=\"1\" height=\"1\"/>"
                 "</tt:VideoSourceConfiguration><tt:VideoEncoderConfiguration><tt:Encoding>H264"
                 "</tt:Encoding><tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080"
                 "</tt:Height></tt:Resolution></tt:VideoEncoderConfiguration>"
                 "<tt:VideoAnalyticsConfiguration><tt:Resolution><tt:Width>7</tt:Width>"
                 "</tt:Resolution></tt:VideoAnalyticsConfiguration></trt:Profiles>"
                 "<trt:Profiles token=\"audio\"><tt:AudioEncoderConfiguration><tt:Encoding>G711"
                 "</tt:Encoding></tt:AudioEncoderConfiguration></trt:Profiles>"
                 "</trt:GetProfilesResponse>"),
        &a));
    ASSERT_EQ(a.profiles.size(), 2u);
    EXPECT_EQ(a.profiles[0].token, "a&b");
    EXPECT_EQ(a.profiles[0].source, "vs1");
    EXPECT_EQ(a.profiles[0].encoding, "H264");
    EXPECT_EQ(a.profiles[0].width, 1920);
    EXPECT_EQ(a.profiles[0].height, 1080);
    EXPECT_TRUE(a.profiles[0].video);
    EXPECT_FALSE(a.profiles[1].video);
    EXPECT_TRUE(a.profiles[1].encoding.empty());

    ASSERT_TRUE(onvif_parse_answer(
        envelope("<tr2:GetProfilesResponse xmlns:tr2=\"m2\"><tr2:Profiles token=\"p\">"
                 "<tr2:Configurations><tr2:VideoSource><tt:SourceToken>vs2</tt:SourceToken>"
                 "</tr2:VideoSource><tr2:VideoEncoder GovLength=\"50\"><tt:Encoding>H265"
                 "</tt:Encoding><tt:Resolution><tt:Width>2560</tt:Width><tt:Height>1440"
                 "</tt:Height></tt:Resolution></tr2:VideoEncoder></tr2:Configurations>"
                 "</tr2:Profiles></tr2:GetProfilesResponse>"),
        &a));
    ASSERT_EQ(a.profiles.size(), 1u);
    EXPECT_EQ(a.profiles[0].source, "vs2");
    EXPECT_EQ(a.profiles[0].encoding, "H265");
    EXPECT_EQ(a.profiles[0].width, 2560);
}

TEST(onvif_parse, hostile_or_broken_answers_are_refused)
{
    const std::string bomb =
        "<?xml version=\"1.0\"?><!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
        "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<Envelope><Body><Uri>&c;&c;&c;&c;</Uri></Body></Envelope>";
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<a>";
    const std::string cases[] = {
        bomb,
        "<?xml version=\"1.0\"?><!DOCTYPE Envelope SYSTEM \"file:///etc/passwd\"><Envelope/>",
        envelope("<tt:Uri>rtsp://x</tt:Uri>").substr(0, 150),  // cut off
        "<html><body>login</body></html>",                     // not an envelope
        envelope(deep),
        envelope("<tt:Uri>" + std::string(5000, 'x') + "</tt:Uri>"),
        "",
        "\x16\x03\x01\x02\x00",
    };
    for (const std::string& xml : cases) {
        onvif_answer_t a;
        a.stream_uri = "left over";
        EXPECT_FALSE(onvif_parse_answer(xml, &a)) << xml.substr(0, 80);
        EXPECT_TRUE(a.stream_uri.empty());
        EXPECT_FALSE(a.fault);
    }
    // A date that does not exist is no time.
    onvif_answer_t a;
    ASSERT_TRUE(onvif_parse_answer(
        envelope("<UTCDateTime><Date><Year>2024</Year><Month>13</Month><Day>1</Day></Date>"
                 "<Time><Hour>0</Hour><Minute>0</Minute><Second>0</Second></Time></UTCDateTime>"),
        &a));
    EXPECT_FALSE(a.has_time);
}

TEST(onvif_token, digest_and_envelope)
{
    // The worked example of the WS-Security username token profile as
    // device makers' guides quote it.
    const std::string nonce = "\x2c\xaa\x88\xe8\x6f\xc0\x8a\x42\x82\x42\xb3\x74\xce\xa6\x45\x96";
    EXPECT_EQ(onvif_password_digest(nonce, "2010-09-16T07:50:45Z", "userpassword"),
              "tuOSpGlFlIXsozq4HFNeeGeFLEI=");
    EXPECT_EQ(onvif_time_text(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(onvif_time_text(951782400), "2000-02-29T00:00:00Z");

    const onvif_token_t token{"a<b", "pw", nonce, "2010-09-16T07:50:45Z"};
    const std::string xml = onvif_envelope(onvif_stream_question(true, "p&1"), &token);
    EXPECT_NE(xml.find("<wsse:Username>a&lt;b</wsse:Username>"), std::string::npos);
    EXPECT_NE(xml.find("<wsse:Nonce EncodingType=\"http://docs.oasis-open.org/wss/2004/01/"
                       "oasis-200401-wss-soap-message-security-1.0#Base64Binary\">"
                       "LKqI6G/AikKCQrN0zqZFlg==</wsse:Nonce>"),
              std::string::npos);
    EXPECT_NE(xml.find("<tr2:ProfileToken>p&amp;1</tr2:ProfileToken>"), std::string::npos);
    // What is sent parses as an envelope itself.
    onvif_answer_t a;
    EXPECT_TRUE(onvif_parse_answer(xml, &a));
    EXPECT_EQ(onvif_envelope(onvif_time_question(), nullptr).find("Security"), std::string::npos);
}

onvif_profile_t video(const char* source, int32_t w, int32_t h)
{
    onvif_profile_t p;
    p.source = source;
    p.width = w;
    p.height = h;
    p.video = true;
    return p;
}

TEST(onvif_pick, channel_and_stream_choose_the_profile)
{
    onvif_profile_t audio;
    audio.source = "vs1";
    const std::vector<onvif_profile_t> profiles = {
        audio,                     // 0: no video
        video("vs1", 640, 360),    // 1: listed first, but smaller
        video("vs2", 1920, 1080),  // 2: second channel's main
        video("vs1", 1920, 1080),  // 3: first channel's main
        video("vs1", 320, 180),    // 4: third of the first channel
    };
    EXPECT_EQ(onvif_pick_profile(profiles, 1, false), 3);
    EXPECT_EQ(onvif_pick_profile(profiles, 1, true), 1);
    EXPECT_EQ(onvif_pick_profile(profiles, 0, false), 3);  // channel 0 counts as the first
    EXPECT_EQ(onvif_pick_profile(profiles, 2, false), 2);
    EXPECT_EQ(onvif_pick_profile(profiles, 2, true), 2);   // no sub stream: the main one
    EXPECT_EQ(onvif_pick_profile(profiles, 3, false), -1);
    EXPECT_EQ(onvif_pick_profile({audio}, 1, false), -1);
    // Without resolutions the camera's order decides.
    const std::vector<onvif_profile_t> unsized = {video("s", 0, 0), video("s", 0, 0)};
    EXPECT_EQ(onvif_pick_profile(unsized, 1, false), 0);
    EXPECT_EQ(onvif_pick_profile(unsized, 1, true), 1);
}

TEST(onvif_reachable, host_replaced_port_and_path_kept)
{
    struct {
        const char* url;
        const char* scheme;
        const char* host;
        const char* expected;
    } cases[] = {
        {"rtsp://127.0.0.64:554/Streaming/101?a=b", "rtsp", "cam.example",
         "rtsp://cam.example:554/Streaming/101?a=b"},
        {"rtsp://127.0.0.64/live", "rtsp", "127.0.0.1", "rtsp://127.0.0.1/live"},
        {"RTSP://u:p@127.0.0.2:8554", "rtsp", "127.0.0.1", "RTSP://u:p@127.0.0.1:8554"},
        {"http://[fe80::1]:8080/onvif/Media", "http", "::1", "http://[::1]:8080/onvif/Media"},
        {"http://10.1.1.1/onvif/Media", "http", "[::1]", "http://[::1]/onvif/Media"},
        {"file:///etc/passwd", "rtsp", "127.0.0.1", ""},
        {"http://127.0.0.2/stream", "rtsp", "127.0.0.1", ""},
        {"rtsp://127.0.0.2:55x4/a", "rtsp", "127.0.0.1", ""},
        {"rtsp:///path", "rtsp", "127.0.0.1", ""},
        {"rtsp://[fe80::1/a", "rtsp", "127.0.0.1", ""},
        {"", "rtsp", "127.0.0.1", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(onvif_reachable_url(c.url, c.scheme, c.host), c.expected) << c.url;
}

}  // namespace
