// The stored data of the host interface: parameters, copy and move.
#include <tuple>

#include "support/detector_fixture.h"
#include "support/interface_probe.h"

namespace {

CustomParams FilledParams(const std::string& tag) {
    CustomParams p;
    CustomParamItemA a;
    a.firstByte = 1;
    a.firstText = tag + "a";
    p.listA = {a, a};
    p.listB = {tag + "b"};
    CustomParamItemC c;
    c.textList = {tag + "c1", tag + "c2"};
    p.listC = {c};
    CustomParamItemD d;
    d.valueList = {1, 2, 3};
    d.firstText = tag + "d";
    p.listD = {d};
    return p;
}

}  // namespace

TEST(HostInterfaceTest, RecordsStartAtTheirDefaults) {
    const CustomObject object;
    const ZORAVELIN::Object engineObject;
    for (auto [classId, auxId, confidence, box, empty] :
         {std::tuple(object.classId, object.auxId, object.confidence, object.box,
                     object.className.empty() && object.auxList.empty() && object.auxMat.empty() &&
                         object.auxGpuMat.empty() && object.auxValues.empty() &&
                         object.extraInfo.empty() && object.cameraId.empty()),
          std::tuple(engineObject.classId, engineObject.auxId, engineObject.confidence,
                     engineObject.box,
                     engineObject.className.empty() && engineObject.auxList.empty() &&
                         engineObject.auxMat.empty() && engineObject.auxGpuMat.empty() &&
                         engineObject.auxValues.empty() && engineObject.extraInfo.empty() &&
                         engineObject.cameraId.empty())}) {
        EXPECT_EQ(classId, 0);
        EXPECT_EQ(auxId, 0);
        EXPECT_EQ(confidence, 0.0f);
        EXPECT_EQ(box, cv::Rect(0, 0, 0, 0));
        EXPECT_TRUE(empty);
    }
}

TEST(HostInterfaceTest, SetParametersReplacesAndNeverAccumulates) {
    InterfaceProbe probe;
    EXPECT_TRUE(probe.SetParameters(FilledParams("first")));
    EXPECT_TRUE(probe.SetParameters(FilledParams("second")));
    EXPECT_EQ(probe.params().listA.size(), 2u);
    EXPECT_EQ(probe.params().listA[0].firstText, "seconda");
    EXPECT_EQ(probe.params().listB, std::vector<std::string>{"secondb"});
    EXPECT_EQ(probe.params().listC[0].textList[1], "secondc2");
    EXPECT_EQ(probe.params().listD[0].valueList, (std::vector<int64_t>{1, 2, 3}));

    EXPECT_TRUE(probe.SetParameters(CustomParams{}));
    EXPECT_TRUE(probe.params().listA.empty() && probe.params().listB.empty() &&
                probe.params().listC.empty() && probe.params().listD.empty());
}

TEST(HostInterfaceTest, CopyAndMoveCarryEveryMember) {
    InterfaceProbe source;
    source.folder() = "/models";
    source.base() = 0.75f;
    source.loadOnCreate() = true;
    ASSERT_TRUE(source.SetParameters(FilledParams("s")));

    InterfaceProbe copy(source);
    EXPECT_EQ(copy.folder(), "/models");
    EXPECT_EQ(copy.base(), 0.75f);
    EXPECT_TRUE(copy.loadOnCreate());
    EXPECT_EQ(copy.params().listC[0].textList, source.params().listC[0].textList);
    copy.params().listB[0] = "changed";
    EXPECT_EQ(source.params().listB[0], "sb") << "a copy owns its own lists";

    InterfaceProbe moved(std::move(source));
    EXPECT_EQ(moved.folder(), "/models");
    EXPECT_EQ(moved.base(), 0.75f);
    EXPECT_TRUE(moved.loadOnCreate());
    EXPECT_EQ(moved.params().listA.size(), 2u);
    EXPECT_TRUE(source.folder().empty());
    EXPECT_TRUE(source.params().listA.empty() && source.params().listB.empty() &&
                source.params().listC.empty() && source.params().listD.empty());
    EXPECT_EQ(source.base(), 0.75f);
    EXPECT_TRUE(source.loadOnCreate());

    InterfaceProbe assigned;
    assigned = moved;
    EXPECT_EQ(assigned.params().listD[0].firstText, "sd");
    InterfaceProbe moveAssigned;
    moveAssigned = std::move(assigned);
    EXPECT_EQ(moveAssigned.folder(), "/models");
    EXPECT_TRUE(assigned.folder().empty());
    EXPECT_TRUE(assigned.params().listD.empty());
}
