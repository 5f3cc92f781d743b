/* A small RTSP camera for tests and benchmarks: H.264 test patterns with a
 * running clock on paths such as /ch1/main and /ch1/sub, optional Basic or
 * Digest authentication. It listens on a loopback address only. Runs the
 * GLib main loop on its main thread; GStreamer owns the media pipelines.
 * Prints "ready <port>" on stdout once it accepts connections. */
#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define max_paths 8

/* One mounted stream. */
typedef struct {
    const char* path; /* mount point, "/ch1/main" */
    int width;        /* picture width in pixels */
    int height;       /* picture height in pixels */
    int fps;          /* frames per second */
} mount_t;

/* Everything the command line chose. */
typedef struct {
    const char* address;   /* listening address: 127.0.0.1 or ::1 */
    int port;              /* listening port, 0 = any free one */
    const char* user;      /* required user, NULL = no authentication */
    const char* password;  /* its password */
    int digest;            /* 1: Digest, 0: Basic authentication */
    int bitrate_kbps;      /* encoder bit rate */
    int key_interval_s;    /* seconds between key frames */
    mount_t mounts[max_paths];
    int mount_count;
} options_t;

static void usage(void)
{
    fprintf(stderr,
            "usage: rtsp_test_server [--address 127.0.0.1|::1] [--port N]\n"
            "         [--path /ch1/main=1280x720@25]... [--user U --password P [--digest]]\n"
            "         [--bitrate KBPS] [--key-interval SECONDS]\n"
            "default paths: /ch1/main=1280x720@25 and /ch1/sub=640x360@25\n");
}

/* "/ch1/main=1280x720@25" or just "/ch1/main" (then 640x360@25). */
static int parse_mount(const char* text, mount_t* mount)
{
    const char* eq = strchr(text, '=');
    mount->width = 640;
    mount->height = 360;
    mount->fps = 25;
    if (text[0] != '/')
        return 0;
    if (!eq) {
        mount->path = text;
        return 1;
    }
    mount->path = g_strndup(text, (gsize)(eq - text));
    if (sscanf(eq + 1, "%dx%d@%d", &mount->width, &mount->height, &mount->fps) != 3)
        return 0;
    return mount->width >= 16 && mount->height >= 16 && mount->width <= 7680 &&
           mount->height <= 4320 && mount->fps >= 1 && mount->fps <= 120;
}

static int is_loopback(const char* address)
{
    return strcmp(address, "127.0.0.1") == 0 || strcmp(address, "::1") == 0;
}

static int parse_options(int argc, char** argv, options_t* o)
{
    memset(o, 0, sizeof *o);
    o->address = "127.0.0.1";
    o->bitrate_kbps = 2000;
    o->key_interval_s = 1;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--digest") == 0) {
            o->digest = 1;
            continue;
        }
        if (!v)
            return 0;
        i++;
        if (strcmp(a, "--address") == 0)
            o->address = v;
        else if (strcmp(a, "--port") == 0)
            o->port = atoi(v);
        else if (strcmp(a, "--user") == 0)
            o->user = v;
        else if (strcmp(a, "--password") == 0)
            o->password = v;
        else if (strcmp(a, "--bitrate") == 0)
            o->bitrate_kbps = atoi(v);
        else if (strcmp(a, "--key-interval") == 0)
            o->key_interval_s = atoi(v);
        else if (strcmp(a, "--path") == 0) {
            if (o->mount_count == max_paths || !parse_mount(v, &o->mounts[o->mount_count]))
                return 0;
            o->mount_count++;
        } else
            return 0;
    }
    if (!is_loopback(o->address)) {
        fprintf(stderr, "rtsp_test_server: only 127.0.0.1 or ::1 may be used\n");
        return 0;
    }
    if (o->mount_count == 0) {
        o->mounts[0] = (mount_t){"/ch1/main", 1280, 720, 25};
        o->mounts[1] = (mount_t){"/ch1/sub", 640, 360, 25};
        o->mount_count = 2;
    }
    return o->port >= 0 && o->port <= 65535 && o->bitrate_kbps > 0 && o->key_interval_s > 0 &&
           (o->user == NULL) == (o->password == NULL);
}

/* All clients of a path share one pipeline, as with a real camera: a client
 * that joins late gets inter frames until the next key frame. */
static GstRTSPMediaFactory* make_factory(const options_t* o, const mount_t* m)
{
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gchar* launch = g_strdup_printf(
        "( videotestsrc is-live=true pattern=smpte horizontal-speed=4 "
        "! video/x-raw,width=%d,height=%d,framerate=%d/1 "
        "! timeoverlay halignment=center valignment=center font-desc=\"Sans 32\" "
        "! x264enc tune=zerolatency speed-preset=ultrafast bitrate=%d key-int-max=%d "
        "! video/x-h264,profile=high ! rtph264pay name=pay0 pt=96 config-interval=-1 )",
        m->width, m->height, m->fps, o->bitrate_kbps, o->key_interval_s * m->fps);
    gst_rtsp_media_factory_set_launch(factory, launch);
    g_free(launch);
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    if (o->user)
        gst_rtsp_media_factory_add_role(factory, "camera-user",
                                        GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                        GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN,
                                        TRUE, NULL);
    return factory;
}

static void set_up_auth(GstRTSPServer* server, const options_t* o)
{
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    GstRTSPToken* token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "camera-user", NULL);
    if (o->digest) {
        gst_rtsp_auth_add_digest(auth, o->user, o->password, token);
        gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
    } else {
        gchar* basic = gst_rtsp_auth_make_basic(o->user, o->password);
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
    }
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
}

static gboolean quit_loop(gpointer loop)
{
    g_main_loop_quit((GMainLoop*)loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char** argv)
{
    options_t o;
    gst_init(&argc, &argv);
    if (!parse_options(argc, argv, &o)) {
        usage();
        return 2;
    }

    GstRTSPServer* server = gst_rtsp_server_new();
    gchar* service = g_strdup_printf("%d", o.port);
    gst_rtsp_server_set_address(server, o.address);
    gst_rtsp_server_set_service(server, service);
    g_free(service);
    if (o.user)
        set_up_auth(server, &o);

    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    for (int i = 0; i < o.mount_count; i++)
        gst_rtsp_mount_points_add_factory(mounts, o.mounts[i].path, make_factory(&o, &o.mounts[i]));
    g_object_unref(mounts);

    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    if (gst_rtsp_server_attach(server, NULL) == 0) {
        fprintf(stderr, "rtsp_test_server: can not listen on %s port %d\n", o.address, o.port);
        return 1;
    }
    g_unix_signal_add(SIGTERM, quit_loop, loop);
    g_unix_signal_add(SIGINT, quit_loop, loop);
    printf("ready %d\n", gst_rtsp_server_get_bound_port(server));
    fflush(stdout);

    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    g_object_unref(server);
    return 0;
}
