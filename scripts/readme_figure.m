function readme_figure(file)
% README_FIGURE  The README's picture (make figures): forest_effects on
%   the last forest of configuration_loop's default run, drawn and printed
%   without a display through gnuplot.
  result = configuration_loop(struct('verbose', false));
  warning('off', 'Octave:gnuplot-graphics');
  warning('off', 'print:nogs');
  graphics_toolkit('gnuplot');
  figure('visible', 'off', 'position', [0 0 900 520]);
  set(0, 'defaultaxesfontsize', 8, 'defaulttextfontsize', 8);
  forest_effects(result.forest, result.X, result.space, [], struct('names', {result.names}));
  print(file, '-dpngcairo');
  printf('wrote %s: the effects in the forest after %d runs of configuration_loop\n', file, ...
         numel(result.y));
end
