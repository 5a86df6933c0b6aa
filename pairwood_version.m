function v = pairwood_version()
% PAIRWOOD_VERSION  The version of the pairwood toolbox.
%
%   v = pairwood_version()     the version as a string, e.g. '1.0.0'
%
%   The one place the version is kept: `make package` reads it from here
%   for the package's DESCRIPTION and the tarball's name.
  v = '2.0.0';
end
