// Another program to drag files from: a small window titled "drag-source" at a given screen position
// that offers the URIs of its command line as "text/uri-list" when dragged. Usage:
//   e2e_drag_source [--move] X Y URI...
// It says "drag-begin", "data-get" and "drag-end" on its standard output as the drag goes. With --move it
// offers only a move and, like a source that honours the move itself, says "data-delete" when the drop
// asks it to delete what it gave.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<gchar*> g_uris;

void on_begin(GtkWidget*, GdkDragContext*, gpointer) {
    std::printf("drag-begin\n");
    std::fflush(stdout);
}

void on_get(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
    gtk_selection_data_set_uris(data, g_uris.data());
    std::printf("data-get\n");
    std::fflush(stdout);
}

void on_delete(GtkWidget*, GdkDragContext*, gpointer) {
    std::printf("data-delete\n");
    std::fflush(stdout);
}

void on_end(GtkWidget*, GdkDragContext*, gpointer) {
    std::printf("drag-end\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    const bool move = argc > 1 && std::strcmp(argv[1], "--move") == 0;
    if (move) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s [--move] X Y URI...\n", argv[0]);
        return 2;
    }
    for (int i = 3; i < argc; ++i)
        g_uris.push_back(argv[i]);
    g_uris.push_back(nullptr);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "drag-source");
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 120);
    gtk_window_move(GTK_WINDOW(window), std::atoi(argv[1]), std::atoi(argv[2]));
    GtkWidget* box = gtk_event_box_new();
    gtk_container_add(GTK_CONTAINER(box), gtk_label_new("drag me"));
    gtk_container_add(GTK_CONTAINER(window), box);

    static const GtkTargetEntry kUris{const_cast<gchar*>("text/uri-list"), 0, 0};
    gtk_drag_source_set(box, GDK_BUTTON1_MASK, &kUris, 1, move ? GDK_ACTION_MOVE : GDK_ACTION_COPY);
    g_signal_connect(box, "drag-begin", G_CALLBACK(on_begin), nullptr);
    g_signal_connect(box, "drag-data-get", G_CALLBACK(on_get), nullptr);
    g_signal_connect(box, "drag-data-delete", G_CALLBACK(on_delete), nullptr);
    g_signal_connect(box, "drag-end", G_CALLBACK(on_end), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
