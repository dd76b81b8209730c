// SPDX-License-Identifier: GPL-3.0-or-later
// The convex hull of a speaker layout through qhull's reentrant library, triangulated. Kept apart
// because qhull's macros take over the name `qh`.
#include "allrad.hpp"

#include <libqhull_r/qhull_ra.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tovo::ambi {

bool convex_hull(const std::vector<Direction>& points, std::vector<std::array<int, 3>>& faces,
                 double& least_depth) {
    faces.clear();
    least_depth = -std::numeric_limits<double>::infinity();
    if (points.size() < 4)
        return false;
    std::vector<coordT> coordinates;
    coordinates.reserve(points.size() * 3);
    for (const Direction& p : points)
        coordinates.insert(coordinates.end(), {p.x, p.y, p.z});

    // qhull reports its troubles on a stream; they are collected and dropped, since the caller
    // says what is wrong with the layout in its own words.
    char* report = nullptr;
    std::size_t report_size = 0;
    FILE* errors = open_memstream(&report, &report_size);
    if (!errors)
        return false;

    qhT qh_qh;
    qhT* qh = &qh_qh;
    qh_zero(qh, errors);
    char command[] = "qhull Qt";
    const int failed = qh_new_qhull(qh, 3, static_cast<int>(points.size()), coordinates.data(),
                                    False, command, nullptr, errors);
    if (!failed) {
        least_depth = std::numeric_limits<double>::infinity();
        facetT* facet;
        FORALLfacets {
            std::array<int, 3> face{-1, -1, -1};
            int count = 0;
            vertexT *vertex, **vertexp;
            FOREACHvertex_(facet->vertices) {
                if (count < 3)
                    face[count] = qh_pointid(qh, vertex->point);
                ++count;
            }
            if (count == 3)
                faces.push_back(face);
            // Outward normals: the centre lies inside by -offset.
            if (-facet->offset < least_depth)
                least_depth = -facet->offset;
        }
    }
    qh_freeqhull(qh, !qh_ALL);
    int still_long = 0, still_total = 0;
    qh_memfreeshort(qh, &still_long, &still_total);
    std::fclose(errors);
    std::free(report);
    return !failed && !faces.empty();
}

} // namespace tovo::ambi
