/* Marks the functions that libhalvex exports; everything else is hidden. */
#ifndef HX_EXPORT_H
#define HX_EXPORT_H

#define HX_EXPORT __attribute__((visibility("default")))

#endif
