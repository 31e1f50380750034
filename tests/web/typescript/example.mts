// Type-checked against the installed package's declarations (tsc --noEmit, tests/web/package_test.js):
// the calls a user writes compile, and each line marked @ts-expect-error must not.
import * as bmpfun from "bmpfun";
import type { Image, Operation } from "bmpfun";

export async function discAt8Bits(bytes: Uint8Array): Promise<[Uint8Array, string[]]> {
  const said: string[] = [];
  using img = await bmpfun.load(bytes, { extended: true, maxPixels: 1 << 24 });
  const disc: Image = img.sampling(1).fun(1);
  const same: Image = disc.floydSteinbergDither(2).blur(3);
  const cropped = same.crop(0, 0, 10, 10).rotate(30).autoCrop();
  const file: Uint8Array = disc.toBytes({ bits: 8 });
  const transparent = disc.toBytes({ bits: 32, alphaMasks: true });
  const pixels: Uint8Array = cropped.toRGBA({ alpha: true });
  const made = img.apply(["sampling=2", "scale=0.5,0.5"]).apply("edge-detect", { inPlace: true });
  const card = await bmpfun.testCard(64, 48, { maxPixels: 4096 });
  const back = await bmpfun.fromRGBA(card.width, card.height, card.toRGBA());
  const header = await bmpfun.info(transparent, { extended: true });
  const text: string = header.text + header.kind + header.fields.map((f) => f.name + f.value).join();
  const converted: Uint8Array = await bmpfun.convert(file, { bits: 4, extended: false });
  const half: Uint8Array = await bmpfun.rescale(file, "P", 50);
  const operations: readonly Operation[] = await bmpfun.operations();
  const methods: string[] = operations.map((op) => op.method + op.arguments.map((a) => a.label + a.low).join());
  await bmpfun.restartRandomSequence();
  const { images, bytes: held } = await bmpfun.memory();
  try {
    img.apply("fun=7");
  } catch (error) {
    if (error instanceof bmpfun.RefusedFileError) throw error;
    if (error instanceof bmpfun.BmpfunError) {
      const cause: bmpfun.Cause = error.cause;
      const hint: bmpfun.Hint = error.hint;
      said.push(cause, hint, error.step, error.reason, error.message);
    }
  }
  // @ts-expect-error: an effect is a number
  img.fun("1");
  // @ts-expect-error: crop takes four numbers
  img.crop(1, 2);
  // @ts-expect-error: alpha masks need 32 bits
  disc.toBytes({ bits: 8, alphaMasks: true });
  // @ts-expect-error: no such depth
  disc.toBytes({ bits: 2 });
  // @ts-expect-error: no such operation
  img.sharpenMore(2);
  // @ts-expect-error: images come from load, testCard or fromRGBA
  new bmpfun.Image();
  // @ts-expect-error: the width is read only
  disc.width = 3;
  for (const image of [disc, cropped, made, card, back]) image.dispose();
  said.push(text, String(converted.length + half.length + pixels.length + images + held), ...methods);
  return [file, said];
}
