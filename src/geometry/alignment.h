#pragma once
// Turning a camera so that its directions agree with another's: the rotation that best maps
// one set of directions onto another, and an image's pose turned by a rotation.
#include <glm/mat3x3.hpp>
#include <glm/vec3.hpp>
#include <vector>

#include "project/project.h"

// The rotation that maps the unit directions `from` onto `to` with the least sum of squared
// differences (Kabsch, "A solution for the best rotation to relate two sets of vectors",
// 1976); the identity for fewer than two directions.
glm::mat3 bestTurn(const std::vector<glm::vec3>& from, const std::vector<glm::vec3>& to);

// The rotation that best maps `from` onto `to` where some of the pairs are wrong: of the turns
// through two of them, the one they misfit least by the median (least median of squares,
// Rousseeuw 1984), then bestTurn of those that misfit it by at most `floor` radians or three and a
// half robust spreads; but where fewer than half follow that turn within `floor`, and more
// follow another through two within it, three at least, bestTurn of those; bestTurn of all where
// fewer than three.
glm::mat3 agreedTurn(const std::vector<glm::vec3>& from, const std::vector<glm::vec3>& to,
                     float floor);

// The angle of a rotation, radians, as fine near zero as floats allow.
float turnAngle(const glm::mat3& turn);

// The image with its pose turned so that every world direction it sees is turned by `turn`:
// yaw, pitch and roll in closed form, nearest the image's own (a camera looking straight up or
// down, whose yaw and roll then mean one turn, too), polished by damped Gauss-Newton.
ImageParameters turnedImage(const ImageParameters& image, const glm::mat3& turn);
